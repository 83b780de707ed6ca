"""The Python work an operation cannot leave out, timed without the file system.

The C program builds no Python object and calls nothing by name; the
modules must return Python objects (`Path`, `str`, tuples, `SkillRecord`)
and call what their behaviour names (`json.loads` of the manifest and of
every VERSION.json, the `SkillRecord` class).  This times exactly that work,
on data read beforehand, so that C time + this time is the best any
implementation of the modules could reach, and the distance of the native
path from the C floor splits into what is required and what is not.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from pathlib import PosixPath

from tarvek.skills.domain.models import SkillRecord

from .workload import Workload


def required_work(operation: str, work: Workload, native_result: list[str]) -> Callable:
    """A call doing the required Python work of one run of `operation`."""
    manifest_text = (work.templates / "manifest.json").read_bytes().decode("utf-8")
    if operation == "list_template_dirs":
        texts = list(native_result)
        return lambda: [PosixPath(text) for text in texts]
    if operation in ("selected_skill_names", "validate_release_manifest", "prune_templates_dir"):
        marker = "--- left in the tree:"
        result = (
            native_result[: native_result.index(marker)]
            if marker in native_result
            else native_result
        )
        names = [os.fsencode(name) for name in result]

        def parse_and_name():
            json.loads(manifest_text)
            return [os.fsdecode(name) for name in names]

        return parse_and_name
    if operation == "collect_skill_datas":
        encoded = [os.fsencode(text) for text in native_result]
        pairs = list(zip(encoded[0::2], encoded[1::2]))
        return lambda: (
            json.loads(manifest_text),
            [(os.fsdecode(a), os.fsdecode(b)) for a, b in pairs],
        )
    if operation == "discover":
        records = [native_result[index : index + 5] for index in range(0, len(native_result), 5)]
        inputs = []
        for name, _version, runtime, root, version_file in records:
            try:
                text = open(version_file, "rb").read().decode("utf-8")
            except OSError:
                text = None
            inputs.append(
                (os.fsencode(name), runtime, os.fsencode(root), os.fsencode(version_file), text)
            )

        def build():
            out = []
            for name, runtime, root, version_file, text in inputs:
                version = (
                    str(json.loads(text).get("version", "unknown"))
                    if text is not None
                    else "v0.0.0"
                )
                out.append(
                    SkillRecord(
                        name=os.fsdecode(name),
                        version=version,
                        runtime=runtime,
                        root=PosixPath(os.fsdecode(root)),
                        version_file=PosixPath(os.fsdecode(version_file)),
                    )
                )
            return out

        return build
    raise ValueError(operation)
