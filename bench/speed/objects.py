"""The Python work an operation cannot leave out, timed without the file system.

The C program builds no Python object and calls nothing by name; the
modules must return Python objects (`Path`, `str`, tuples, `SkillRecord`),
made here through Python's own constructors.  `json.loads` is not counted:
while `json` is the interpreter's own, the native path reads the manifest
and every VERSION.json in place and makes only the strings its results
hold.  This times exactly that work, on data read beforehand, so that C
time + this time is about the best any implementation of the modules could
reach, and the distance of the native path from the C floor splits into
what is required and what is not (the native path makes paths and records
more cheaply than their constructors, so the remainder can be negative).
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import PosixPath

from tarvek.skills.domain.models import SkillRecord

from .workload import Workload


def required_work(operation: str, work: Workload, native_result: list[str]) -> Callable:
    """A call doing the required Python work of one run of `operation`."""
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
        return lambda: [os.fsdecode(name) for name in names]
    if operation == "collect_skill_datas":
        encoded = [os.fsencode(text) for text in native_result]
        pairs = list(zip(encoded[0::2], encoded[1::2]))
        return lambda: [(os.fsdecode(a), os.fsdecode(b)) for a, b in pairs]
    if operation == "discover":
        records = [native_result[index : index + 5] for index in range(0, len(native_result), 5)]
        inputs = []
        for name, version, runtime, root, version_file in records:
            inputs.append(
                (os.fsencode(name), version.encode("utf-8", "surrogatepass"), runtime,
                 os.fsencode(root), os.fsencode(version_file))
            )

        def build():
            out = []
            for name, version, runtime, root, version_file in inputs:
                out.append(
                    SkillRecord(
                        name=os.fsdecode(name),
                        version=version.decode("utf-8", "surrogatepass"),
                        runtime=runtime,
                        root=PosixPath(os.fsdecode(root)),
                        version_file=PosixPath(os.fsdecode(version_file)),
                    )
                )
            return out

        return build
    raise ValueError(operation)
