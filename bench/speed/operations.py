"""The six timed operations, each in its four variants.

- native:  the modules' own call, on their native path (the module's `Path`
           is pathlib's, the arguments exact `PosixPath` values);
- object:  the same call with both modules' `Path` rebound to a trivial
           subclass of `pathlib.Path`, which sends every call down the
           object path (pathlib called by name): the pure-Python reference;
- scandir: the hand-optimised `os.scandir` rewrite (`scandir_ops`);
- c:       the C program (`floor.c`), run as a child process that times
           the operation itself.

Every variant's result is brought to one form, a list of strings, so that
the benchmark can compare them.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
from collections.abc import Callable
from pathlib import Path

from tarvek.skills import packaging
from tarvek.skills.discovery import detector

from . import scandir_ops
from .workload import Workload, tree_listing

OPERATIONS = (
    "list_template_dirs",
    "selected_skill_names",
    "collect_skill_datas",
    "validate_release_manifest",
    "prune_templates_dir",
    "discover",
)
VARIANTS = ("native", "object", "scandir", "c")
PYTHON_VARIANTS = ("native", "object", "scandir")

# What each operation is asked in the benchmark.
PRUNE_PROFILE, PRUNE_ARTIFACT = "python-release", "wheel"
SELECT_PROFILE, SELECT_ARTIFACT = "python-release", "wheel"
COLLECT_PROFILE = "binary-minimal"


@contextlib.contextmanager
def object_path():
    """Run the body on the object path: both modules see a subclass as Path."""
    object_class = type("ObjectPath", (pathlib.Path,), {})
    saved = packaging.Path, detector.Path
    packaging.Path = object_class
    detector.Path = object_class
    try:
        yield
    finally:
        packaging.Path, detector.Path = saved


def variant_context(variant: str):
    return object_path() if variant == "object" else contextlib.nullcontext()


def python_call(
    operation: str, work: Workload, variant: str, target: Path | None = None
) -> Callable:
    """The call that runs `operation` on `work` in a Python variant.  Its
    arguments are made here, once, so that timing covers the call alone.
    `target` replaces the pruned copy (a warm-up copy, for instance)."""
    templates = Path(work.templates)
    copy = Path(target or work.copy)
    project = Path(work.project)
    if variant == "scandir":
        module, finder = scandir_ops, scandir_ops
    else:
        module, finder = packaging, None
    if operation == "list_template_dirs":
        return lambda: module.list_template_dirs(templates)
    if operation == "selected_skill_names":
        return lambda: module.selected_skill_names(
            profile=SELECT_PROFILE, artifact=SELECT_ARTIFACT, templates_dir=templates
        )
    if operation == "collect_skill_datas":
        return lambda: module.collect_skill_datas(profile=COLLECT_PROFILE, templates_dir=templates)
    if operation == "validate_release_manifest":
        return lambda: module.validate_release_manifest(templates)
    if operation == "prune_templates_dir":
        return lambda: module.prune_templates_dir(
            copy, profile=PRUNE_PROFILE, artifact=PRUNE_ARTIFACT, manifest_templates_dir=templates
        )
    if operation == "discover":
        if finder is not None:
            return lambda: finder.discover(cwd=project)
        instance = detector.SkillDetector()
        return lambda: instance.discover(cwd=project)
    raise ValueError(operation)


def c_arguments(operation: str, work: Workload, target: Path | None = None) -> list[str]:
    templates = str(work.templates)
    if operation == "list_template_dirs":
        return ["list", templates]
    if operation == "selected_skill_names":
        return ["select", templates, SELECT_PROFILE, SELECT_ARTIFACT]
    if operation == "collect_skill_datas":
        return ["collect", templates, COLLECT_PROFILE]
    if operation == "validate_release_manifest":
        return ["validate", templates]
    if operation == "prune_templates_dir":
        return ["prune", str(target or work.copy), PRUNE_PROFILE, PRUNE_ARTIFACT, templates]
    if operation == "discover":
        return ["discover", str(work.home), str(work.project)]
    raise ValueError(operation)


def normalise(operation: str, value) -> list[str]:
    """A Python variant's result as a list of strings, in the C program's order."""
    if operation == "collect_skill_datas":
        return [text for pair in value for text in pair]
    if operation == "discover":
        return [
            str(field)
            for record in value
            for field in (
                record.name,
                record.version,
                record.runtime,
                record.root,
                record.version_file,
            )
        ]
    if operation == "list_template_dirs":
        return [str(path) for path in value]
    return list(value)


def with_tree(
    operation: str, items: list[str], work: Workload, target: Path | None = None
) -> list[str]:
    """Pruning's result is also the tree it leaves behind."""
    if operation == "prune_templates_dir":
        return items + ["--- left in the tree:"] + tree_listing(Path(target or work.copy))
    return items


def environment_for(work: Workload) -> None:
    """Discovery reads the home directory; nothing of the caller's
    environment may add candidates or choose a profile."""
    os.environ["HOME"] = str(work.home)
    os.environ.pop("TARVEK_SKILLS_DIR", None)
    os.environ.pop("TARVEK_SKILL_PROFILE", None)
