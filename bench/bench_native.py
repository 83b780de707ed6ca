"""Native path against object path of the skills layer, on synthetic trees.

    python bench/bench_native.py [--scales 1,4] [--repeat 5] [--quick]

Each operation of `tarvek.skills.packaging` and of `SkillDetector` runs on
the native path when the module's `Path` is `pathlib.Path`, its path
arguments are exact `PosixPath` values and nothing of the module is
rebound; otherwise it runs on the object path, which calls pathlib by name.
This script forces the object path by rebinding both modules' `Path` to a
trivial subclass of `pathlib.Path`, and restores it afterwards.

For every scale it builds, in a temporary directory (on /dev/shm where
that is usable, see `--dir`), a templates tree of N skills with 14 files
each (one of them packaging junk) and a manifest that admits about half of
them, and a home directory with M installed skills; `--scale K` multiplies
N and M by K. Each operation is timed on both paths interleaved (native,
object, native, object, ...) and the best of `--repeat` runs is reported, in
a Markdown table. Collection is also set against a plain `os.walk` listing
of the same files, the floor that no implementation can beat by much.

Both paths must give the same results; a difference is reported and makes
the exit status 1. Nothing here asserts on time: it measures.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import json
import os
import pathlib
import platform
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tarvek.skills import packaging
from tarvek.skills.discovery import detector

# Files of one skill template, below its directory; the last one is junk
# that pruning deletes and collection leaves out.
SKILL_FILES = (
    "SKILL.md",
    "data/VERSION.json",
    "docs/guide/intro.md",
    "docs/guide/usage.md",
    "docs/guide/advanced/tuning.md",
    "docs/guide/advanced/limits.md",
    "docs/reference/api.md",
    "docs/reference/cli.md",
    "docs/reference/formats/json.md",
    "docs/reference/formats/yaml.md",
    "scripts/run.py",
    "scripts/helpers/util.py",
    "examples/basic.md",
    "__pycache__/x.pyc",
)
PACKABLE_PER_SKILL = len(SKILL_FILES) - 1

BASE_TEMPLATES = 1000
BASE_INSTALLED = 2500


# --- workload ---------------------------------------------------------------


def build_templates(root: Path, skills: int) -> None:
    """N skill templates and a manifest admitting about half of them per build."""
    manifest: dict = {"default": {"source": True}, "skills": {}}
    for index in range(skills):
        name = f"skill-{index:05d}"
        skill = root / name
        for relative in SKILL_FILES:
            file = skill / relative
            file.parent.mkdir(parents=True, exist_ok=True)
            if relative == "SKILL.md":
                file.write_text(f"---\nname: {name}\ndescription: synthetic\n---\n")
            elif relative == "data/VERSION.json":
                file.write_text('{"version": "1.0.0"}')
            else:
                file.write_bytes(b"x")
        # Wheel admits the even skills, the minimal binary skills 0 and 3
        # modulo 4: each build takes half, and the two halves overlap.
        manifest["skills"][name] = {
            "tier": "core" if index % 3 else "extra",
            "reason": "synthetic workload",
            "wheel": index % 2 == 0,
            "binary": index % 4 in (0, 3),
        }
    (root / "manifest.json").write_text(json.dumps(manifest, indent=1))


def build_installed(home: Path, skills: int) -> None:
    """M installed skills in the home directory's Claude skills directory."""
    base = home / ".claude" / "skills"
    for index in range(skills):
        data = base / f"installed-{index:05d}" / "data"
        data.mkdir(parents=True)
        (data / "VERSION.json").write_text('{"version": "2.0.0"}')


def build_project(project: Path) -> None:
    """A working directory with the two tool directories install detection lists."""
    (project / ".claude").mkdir(parents=True)
    (project / ".openclaw").mkdir()


def copy_tree(source: Path, target: Path) -> None:
    """A fresh copy of source at target; cp and rm are several times faster here."""
    rm, cp = shutil.which("rm"), shutil.which("cp")
    if target.exists():
        if rm is not None:
            subprocess.run([rm, "-rf", "--", str(target)], check=True)
        else:
            shutil.rmtree(target)
    if cp is not None:
        subprocess.run([cp, "-a", "--", str(source), str(target)], check=True)
    else:
        shutil.copytree(source, target, symlinks=True)


def default_workdir() -> str | None:
    """tmpfs where there is one: on a slow disk, building and copying the
    trees would take most of the run, and the disk's noise would drown the
    difference between the two paths."""
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None


def walk_packable(root: str, names: list[str]) -> list[str]:
    """The files that collection returns for the given skills, listed by os.walk."""
    files = []
    for name in names:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, name)):
            if "__pycache__" in dirnames:
                dirnames.remove("__pycache__")
            for filename in filenames:
                if filename == ".DS_Store" or filename.endswith((".pyc", ".pyo")):
                    continue
                files.append(os.path.join(dirpath, filename))
    return files


def tree_listing(root: Path) -> list[str]:
    """Every entry below root, relative, sorted: what pruning left behind."""
    entries = []
    for dirpath, dirnames, filenames in os.walk(root):
        relative = os.path.relpath(dirpath, root)
        entries.extend(os.path.join(relative, name) for name in dirnames + filenames)
    return sorted(entries)


# --- the two paths ----------------------------------------------------------


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


def comparable(value):
    """Results of both paths in one form: paths as text, records as tuples."""
    if isinstance(value, pathlib.PurePath):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [comparable(item) for item in value]
    if hasattr(value, "__dataclass_fields__"):
        return [comparable(getattr(value, field)) for field in value.__dataclass_fields__]
    return value


# --- timing -----------------------------------------------------------------


def timed(func):
    # Every run starts from a clean heap, so that one run does not pay for
    # the garbage of the one before.
    gc.collect()
    start = time.perf_counter()
    result = func()
    return time.perf_counter() - start, result


class Row:
    def __init__(self, operation: str, scale: int):
        self.operation = operation
        self.scale = scale
        self.native: list[float] = []
        self.object: list[float] = []
        self.walk: list[float] = []
        self.mismatch = ""


def measure(row: Row, repeat: int, func, setup=None, check=None, walk=None) -> None:
    """Best-of timing, native and object path interleaved run by run.

    `setup` runs untimed before every run (pruning needs a fresh copy);
    `check` turns a run's result into what both paths must agree on;
    `walk` is timed in the same loop as the floor of the operation.
    """
    results = {}
    for run in range(repeat):
        for name in ("native", "object"):
            if setup is not None:
                setup()
            with object_path() if name == "object" else contextlib.nullcontext():
                elapsed, result = timed(func)
            getattr(row, name).append(elapsed)
            if run == 0:
                results[name] = comparable(check(result) if check else result)
        if walk is not None:
            row.walk.append(timed(walk)[0])
    if results["native"] != results["object"]:
        row.mismatch = "native and object path results differ"


def measure_calls(row: Row, repeat: int, func) -> None:
    """Per-call cost: a loop long enough to take about 0.1 s, best of `repeat`."""

    def loop():
        for _ in range(number):
            func()

    number = 1
    while True:
        elapsed, _ = timed(loop)
        if elapsed >= 0.1 or number >= 1 << 20:
            break
        number *= 2
    first = {}
    for run in range(repeat):
        for name in ("native", "object"):
            with object_path() if name == "object" else contextlib.nullcontext():
                if run == 0:
                    first[name] = comparable(func())
                elapsed, _ = timed(loop)
            getattr(row, name).append(elapsed / number)
    if first["native"] != first["object"]:
        row.mismatch = "native and object path results differ"


# --- one scale --------------------------------------------------------------


def run_scale(scale: int, templates_count: int, installed_count: int, repeat: int,
              workdir: str | None):
    rows: list[Row] = []
    calls: list[Row] = []
    notes: list[str] = []
    with tempfile.TemporaryDirectory(prefix="tarvek-bench-", dir=workdir) as scratch:
        base = Path(scratch)
        templates = base / "templates"
        home = base / "home"
        project = base / "project"
        copy = base / "copy"
        started = time.perf_counter()
        build_templates(templates, templates_count)
        build_installed(home, installed_count)
        build_project(project)
        print(
            f"scale {scale}: {templates_count} templates x {len(SKILL_FILES)} files, "
            f"{installed_count} installed, built in {time.perf_counter() - started:.1f} s",
            file=sys.stderr,
        )
        # Discovery and install detection read the home directory; nothing of
        # the caller's environment may add candidates.
        os.environ["HOME"] = str(home)
        os.environ.pop("TARVEK_SKILLS_DIR", None)

        admitted = packaging.selected_skill_names(
            profile="binary-minimal", artifact="binary", templates_dir=templates
        )

        def collection():
            return packaging.collect_skill_datas(profile="binary-minimal", templates_dir=templates)

        ops = [
            ("collection", collection, {"walk": lambda: walk_packable(str(templates), admitted)}),
            ("listing", lambda: packaging.list_template_dirs(templates), {}),
            (
                "selection",
                lambda: packaging.selected_skill_names(
                    profile="python-release", artifact="wheel", templates_dir=templates
                ),
                {},
            ),
            ("validation", lambda: packaging.validate_release_manifest(templates), {}),
            ("discovery", lambda: detector.SkillDetector().discover(cwd=project), {}),
            (
                "pruning",
                lambda: packaging.prune_templates_dir(
                    copy, profile="python-release", artifact="wheel",
                    manifest_templates_dir=templates,
                ),
                {
                    "setup": lambda: copy_tree(templates, copy),
                    "check": lambda names: (names, tree_listing(copy)),
                },
            ),
        ]
        for operation, func, extra in ops:
            row = Row(operation, scale)
            measure(row, repeat, func, **extra)
            rows.append(row)
            print(f"  {operation}: done", file=sys.stderr)

        # Sizes that show the workload is the intended one.
        collected = collection()
        walked = walk_packable(str(templates), admitted)
        if len(walked) != len(collected) - 1:
            notes.append(
                f"scale {scale}: os.walk lists {len(walked)} files, collection "
                f"{len(collected) - 1} (without the manifest): the floor is not comparable"
            )
        problems = packaging.validate_release_manifest(templates)
        if problems:
            notes.append(
                f"scale {scale}: validation reports {len(problems)} problems, expected none")
        selected = packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                                  templates_dir=templates)
        discovered = detector.SkillDetector().discover(cwd=project)
        notes.append(
            f"scale {scale}: {len(admitted)} of {templates_count} templates collected "
            f"({len(collected)} pairs), {len(selected)} selected for the wheel, "
            f"{len(discovered)} skills discovered"
        )

        # One detector and one exact PosixPath for all calls: the loop times
        # the method, not building its arguments.
        instance = detector.SkillDetector()
        skill_dir = Path(home / ".codex" / "skills" / "installed-00000")
        for operation, func in (
            ("_infer_runtime", lambda: instance._infer_runtime(skill_dir)),
            ("detect_install_targets", lambda: instance.detect_install_targets(cwd=project)),
        ):
            row = Row(operation, scale)
            measure_calls(row, repeat, func)
            calls.append(row)
    return rows, calls, notes


# --- report -----------------------------------------------------------------


def ratio(numerator: float, denominator: float) -> str:
    return f"{numerator / denominator:.2f}x" if denominator > 0 else "n/a"


def print_report(rows: list[Row], calls: list[Row], notes: list[str], repeat: int,
                 workdir: str) -> None:
    print("| operation | scale | native (ms) | object (ms) | object / native | os.walk (ms) "
          "| native / os.walk |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        native, obj = min(row.native) * 1e3, min(row.object) * 1e3
        walk = (f"{min(row.walk) * 1e3:.1f} | {ratio(native, min(row.walk) * 1e3)}"
                if row.walk else " | ")
        print(f"| {row.operation} | {row.scale} | {native:.1f} | {obj:.1f} "
              f"| {ratio(obj, native)} | {walk} |")
    print()
    print("| per call | scale | native (µs) | object (µs) | object / native |")
    print("|---|---:|---:|---:|---:|")
    for row in calls:
        native, obj = min(row.native) * 1e6, min(row.object) * 1e6
        print(f"| {row.operation} | {row.scale} | {native:.2f} | {obj:.2f} "
              f"| {ratio(obj, native)} |")
    print()
    for row in rows + calls:
        if row.mismatch:
            print(f"**{row.operation}, scale {row.scale}: {row.mismatch}**")
    for note in notes:
        print(f"- {note}")
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(
        f"\nBest of {repeat}, workload in {workdir}. Command: `{shlex.join(sys.orig_argv)}`; "
        f"Python {platform.python_version()} ({platform.python_implementation()}, "
        f"{platform.machine()}, {os.cpu_count()} CPUs); {now}."
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--templates", type=int, default=BASE_TEMPLATES,
                        help="skill templates at scale 1")
    parser.add_argument("--installed", type=int, default=BASE_INSTALLED,
                        help="installed skills at scale 1")
    parser.add_argument("--scales", default="1,4",
                        help="comma-separated scale factors (default 1,4)")
    parser.add_argument("--scale", type=int, help="a single scale factor, instead of --scales")
    parser.add_argument("--repeat", type=int, default=5, help="runs per path, best reported")
    parser.add_argument("--dir", help="where the workload is built "
                        "(default: /dev/shm if usable, else the temp dir)")
    parser.add_argument("--quick", action="store_true",
                        help="tiny smoke run: 20 templates, 20 installed, one run")
    args = parser.parse_args()

    if args.quick:
        args.templates, args.installed, args.repeat, scales = 20, 20, 1, [1]
    elif args.scale is not None:
        scales = [args.scale]
    else:
        scales = [int(part) for part in args.scales.split(",") if part.strip()]
    if args.repeat < 1 or not scales or min(scales) < 1:
        parser.error("--repeat and the scales must be at least 1")
    if packaging.Path is not pathlib.Path or detector.Path is not pathlib.Path:
        print("warning: a module's Path is already rebound; no run takes the native path",
              file=sys.stderr)

    workdir = args.dir or default_workdir()
    rows: list[Row] = []
    calls: list[Row] = []
    notes: list[str] = []
    for scale in scales:
        scale_rows, scale_calls, scale_notes = run_scale(
            scale, args.templates * scale, args.installed * scale, args.repeat, workdir
        )
        rows += scale_rows
        calls += scale_calls
        notes += scale_notes
    print_report(rows, calls, notes, args.repeat, workdir or tempfile.gettempdir())
    return 1 if any(row.mismatch for row in rows + calls) else 0


if __name__ == "__main__":
    sys.exit(main())
