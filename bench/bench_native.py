"""The skills layer's speed: native path, pure-Python reference, scandir Python and C.

    python bench/bench_native.py [--fs disk,shm] [--scales 1,2,5,10] [--repeat 5]
                                   [--out DIR] [--quick]

Six operations (`list_template_dirs`, `selected_skill_names`,
`collect_skill_datas`, `validate_release_manifest`, `prune_templates_dir`,
`SkillDetector.discover`) are timed in four variants, interleaved run by
run (native, object, scandir, C, native, ...), best of `--repeat`:

- native:  the modules' native path;
- object:  the object path, forced by rebinding both modules' `Path` to a
           trivial subclass of `pathlib.Path`: the pure-Python reference;
- scandir: a hand-optimised `os.scandir` rewrite (speed/scandir_ops.py);
- C:       a C program making the same system calls without Python
           objects (speed/floor.c, compiled here with `cc`).

The workload at scale 1 is 1,000 skill templates of 14 files with a
manifest, and 2,500 installed skills; `--scales` multiplies it.  It is built
on this machine's disk and on /dev/shm (`--fs`).  Every variant's results
are compared with the native path's on every run (and on a small tree of
edge cases first); a difference makes the exit status 1.  Nothing here
asserts on time: the report says which of the issue's targets are met.

Besides the times: peak RSS of each operation in a child process per scale,
system calls of one call counted with `strace -c -f` (when strace is
installed), whole-process start-up of the `tarvek-skills` command against
`python -c pass`, a Markdown report on standard output (and in `--out`),
and an SVG chart (with matplotlib, the `bench` extra).
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import os
import pathlib
import platform
import shlex
import sys
import tempfile
import time
from pathlib import Path

from tarvek.skills import packaging
from tarvek.skills.discovery import detector

from speed import chart, measure, operations, report, startup, syscalls
from speed.cfloor import Floor
from speed.workload import (
    BASE_INSTALLED,
    BASE_TEMPLATES,
    Workload,
    build_edge_cases,
    disk_dir,
    remove_tree,
    shm_dir,
)


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--fs", default="disk,shm", help="file systems to measure on: disk, shm or both (default)"
    )
    parser.add_argument(
        "--disk-dir",
        help="directory on the disk (default: the temporary directory if it is on disk)",
    )
    parser.add_argument(
        "--shm-dir", default=None, help="directory on a memory file system (default /dev/shm)"
    )
    parser.add_argument(
        "--scales",
        default="1,2,5,10",
        help="comma-separated scale factors on /dev/shm (default 1,2,5,10)",
    )
    parser.add_argument(
        "--disk-scales",
        default="1",
        help="scale factors on the disk (default 1: copying the tree for each pruning run "
        "takes seconds there, ten times that at 10x)",
    )
    parser.add_argument(
        "--repeat", type=int, default=5, help="runs per variant, best reported (default 5)"
    )
    parser.add_argument(
        "--disk-repeat", type=int, help="runs per variant on the disk (default: --repeat)"
    )
    parser.add_argument(
        "--startup-repeat", type=int, default=20, help="runs per command (default 20)"
    )
    parser.add_argument(
        "--templates", type=int, default=BASE_TEMPLATES, help="skill templates at scale 1"
    )
    parser.add_argument(
        "--installed", type=int, default=BASE_INSTALLED, help="installed skills at scale 1"
    )
    parser.add_argument(
        "--out", type=Path, help="write speed.md, speed.json and speed.svg into this directory"
    )
    parser.add_argument("--no-strace", action="store_true", help="do not count system calls")
    parser.add_argument("--no-rss", action="store_true", help="do not measure peak RSS")
    parser.add_argument(
        "--no-startup", action="store_true", help="do not time the command's start-up"
    )
    parser.add_argument(
        "--no-operations", action="store_true", help="time only the command's start-up"
    )
    parser.add_argument(
        "--redraw",
        type=Path,
        nargs="+",
        metavar="SPEED_JSON",
        help="measure nothing: write the report and chart again from speed.json files "
        "(several: the best of all their runs) into --out, default the first's directory",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="smoke run of a few seconds: 20 templates, 20 installed, one run, one file system",
    )
    args = parser.parse_args()
    if args.quick:
        args.templates, args.installed, args.repeat, args.scales, args.disk_scales = (
            20,
            20,
            1,
            "1",
            "1",
        )
        args.startup_repeat = 2
        args.fs = "shm" if shm_dir() else "disk"
    args.disk_repeat = args.disk_repeat or args.repeat
    args.scale_list = {
        "shm": sorted({int(part) for part in args.scales.split(",") if part.strip()}),
        "disk": sorted({int(part) for part in args.disk_scales.split(",") if part.strip()}),
    }
    args.fs_list = [part.strip() for part in args.fs.split(",") if part.strip()]
    scales = args.scale_list["shm"] + args.scale_list["disk"]
    if (
        args.repeat < 1
        or args.startup_repeat < 1
        or not all(args.scale_list.values())
        or min(scales) < 1
    ):
        parser.error("--repeat, --startup-repeat and the scales must be at least 1")
    if not set(args.fs_list) <= {"disk", "shm"} or not args.fs_list:
        parser.error("--fs takes disk, shm or both")
    return args


def location(fs: str, args: argparse.Namespace) -> str | None:
    if fs == "disk":
        return args.disk_dir or disk_dir()
    return args.shm_dir or shm_dir()


@contextlib.contextmanager
def own_environment():
    """The body may point HOME at a workload; afterwards it is the caller's
    again (matplotlib, for one, writes its cache below HOME)."""
    saved = dict(os.environ)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)


def check_edge_cases(fs_dir: str, floor: Floor, results: report.Results) -> None:
    """Every variant against the native path on a small tree of edge cases."""
    with (
        own_environment(),
        tempfile.TemporaryDirectory(prefix="tarvek-edge-", dir=fs_dir) as scratch,
    ):
        work = build_edge_cases(Path(scratch) / "edge")
        operations.environment_for(work)
        for op in operations.OPERATIONS:
            row = measure.Row(op, "edge cases", 0)
            variants = operations.VARIANTS if floor.path else operations.PYTHON_VARIANTS
            measure.measure_operation(row, work, floor, 1, variants, Path(scratch), sync=False)
            if row.mismatch:
                results.notes.append(f"**edge cases, {op}: {row.mismatch}**")
                results.meta["failed"] = "yes"


def main() -> int:
    args = parse_arguments()
    if args.redraw:
        results = merge(
            [from_json(json.loads(path.read_text(encoding="utf-8"))) for path in args.redraw]
        )
        print(report.markdown(results))
        write_outputs(results, args.out or args.redraw[0].parent)
        return 0
    if packaging.Path is not pathlib.Path or detector.Path is not pathlib.Path:
        print(
            "warning: a module's Path is already rebound; no run takes the native path",
            file=sys.stderr,
        )
    load_before = os.getloadavg()
    results = report.Results(rows=[])
    results.meta["repeat"] = (
        f"{args.repeat}"
        if args.disk_repeat == args.repeat or "disk" not in args.fs_list
        else f"{args.repeat} (disk: {args.disk_repeat})"
    )
    results.meta["startup_repeat"] = str(args.startup_repeat)
    strace = None if args.no_strace else syscalls.strace_path()
    if args.no_strace:
        results.syscall_note = "System calls not counted (--no-strace)."
    elif strace is None:
        results.syscall_note = (
            "strace is not installed (Debian: apt-get install strace): system calls not counted."
        )
    strace_variants = ("native", "c") if args.quick else ("native", "c", "scandir")

    with tempfile.TemporaryDirectory(prefix="tarvek-bench-build-") as build:
        floor = Floor(Path(build))
        if floor.problem:
            results.notes.append(floor.problem)
        variants = operations.VARIANTS if floor.path else operations.PYTHON_VARIANTS
        places = []
        for fs in [] if args.no_operations else args.fs_list:
            where = location(fs, args)
            if where is None:
                results.notes.append(f"no usable directory for {fs}: not measured there")
                continue
            places.append((fs, where))
        # System calls and memory do not depend on the file system: they are
        # measured where runs are quick.
        count_on = "shm" if "shm" in dict(places) else places[0][0] if places else None
        for fs, where in places:
            check_edge_cases(where, floor, results)
            for scale in args.scale_list[fs]:
                scratch_dir = tempfile.TemporaryDirectory(prefix="tarvek-bench-", dir=where)
                with own_environment(), scratch_dir as scratch:
                    base = Path(scratch)
                    work = Workload.at(base, args.templates * scale, args.installed * scale)
                    started = time.perf_counter()
                    work.build()
                    operations.environment_for(work)
                    print(
                        f"{fs} ({where}), scale {scale}: {work.templates_count} templates, "
                        f"{work.installed_count} installed, "
                        f"built in {time.perf_counter() - started:.1f} s",
                        file=sys.stderr,
                    )
                    for op in operations.OPERATIONS:
                        row = measure.Row(op, fs, scale)
                        repeat = args.disk_repeat if fs == "disk" else args.repeat
                        measure.measure_operation(
                            row, work, floor, repeat, variants, base, sync=fs == "disk"
                        )
                        if not args.no_rss and fs == count_on:
                            measure.peak_rss(row, work, floor, variants)
                        results.rows.append(row)
                        print(f"  {op}: native {report.ms(row.best('native'))} ms", file=sys.stderr)
                    if (
                        strace
                        and not results.syscalls
                        and fs == count_on
                        and scale == args.scale_list[fs][0]
                    ):
                        for op in operations.OPERATIONS:
                            for variant in strace_variants:
                                if variant == "c" and not floor.path:
                                    continue
                                counts = syscalls.count_operation(
                                    strace, op, variant, work, floor, base
                                )
                                results.syscalls.setdefault(op, {})[variant] = counts
                        results.syscall_note = (
                            f"Counted on {report.FS_LABELS[fs]} ({where}) with {strace}: "
                            "each count is the difference between a child that makes the call "
                            "and one that stops before it (both after a warm-up call); "
                            "for C, `floor noop`."
                        )
                    remove_tree(work.copy)
        if not args.no_startup:
            with tempfile.TemporaryDirectory(prefix="tarvek-startup-") as scratch:
                commands, env, note = startup.measure_startup(Path(scratch), args.startup_repeat)
                results.startup = commands if len(commands) > 1 else []
                results.startup_note = note
                if not note:
                    project = Path(scratch) / "startup-project"
                    for label, argv in (
                        ("tarvek-skills -V", ["-V"]),
                        ("tarvek-skills list", ["list"]),
                    ):
                        results.imports[label] = startup.import_profile(argv, env, project)

    load_after = os.getloadavg()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    where_text = ", ".join(f"{report.FS_LABELS[fs]}: {where}" for fs, where in places)
    scales_text = "; ".join(
        f"{', '.join(f'{s}×' for s in args.scale_list[fs])} on {report.FS_LABELS[fs]}"
        for fs, _ in places
    )
    compiler = getattr(floor, "compiler", "no compiler")
    workload_text = (
        f"Best of {results.meta['repeat']}; workload {args.templates} templates × 14 files "
        f"and {args.installed} installed skills per 1×; scales: {scales_text}; in {where_text}. "
        if places
        else "Start-up only. "
    )
    results.meta["footer"] = (
        f"{workload_text}"
        f"Command: `{shlex.join(sys.orig_argv)}`; Python {platform.python_version()} "
        f"({platform.machine()}, {os.cpu_count()} CPUs); C: {compiler} -O2; {now}; load average "
        f"{load_before[0]:.2f} at the start, {load_after[0]:.2f} at the end."
    )
    print(report.markdown(results))
    if args.out:
        write_outputs(results, args.out)
    elif not args.quick:
        print("(no --out: no chart drawn)", file=sys.stderr)
    else:
        # The smoke run draws the chart too, where it cannot be kept.
        with tempfile.TemporaryDirectory() as scratch:
            problem = chart.draw(results, Path(scratch) / "speed.svg")
            print(problem or "chart: drawn", file=sys.stderr)
    failed = any(row.mismatch for row in results.rows) or results.meta.get("failed")
    return 1 if failed else 0


def write_outputs(results: report.Results, out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / "speed.md").write_text(report.markdown(results), encoding="utf-8")
    (out / "speed.json").write_text(
        json.dumps(as_json(results), indent=1, ensure_ascii=False) + "\n"
    )
    problem = chart.draw(results, out / "speed.svg")
    if problem:
        print(problem, file=sys.stderr)


def from_json(data: dict) -> report.Results:
    rows = []
    for item in data["rows"]:
        row = measure.Row(
            item["operation"],
            item["fs"],
            item["scale"],
            items=item["items"],
            mismatch=item["mismatch"],
        )
        for variant, seconds in item["seconds"].items():
            row.samples[variant] = [
                measure.Sample(*values)
                for values in zip(seconds, item["user"][variant], item["system"][variant])
            ]
        row.rss_kb = {variant: tuple(pair) for variant, pair in item["rss_kb"].items()}
        rows.append(row)
    startups = []
    for item in data["startup"]:
        entry = startup.Startup(
            item["command"], [], item["seconds"], item["mean_user"], item["mean_system"]
        )
        startups.append(entry)
    return report.Results(
        rows=rows,
        syscalls=data["syscalls"],
        syscall_note=data.get("syscall_note", ""),
        startup=startups,
        startup_note=data.get("startup_note", ""),
        imports={
            label: [tuple(entry) for entry in entries] for label, entries in data["imports"].items()
        },
        notes=data["notes"],
        meta=data["meta"],
    )


def merge(runs: list[report.Results]) -> report.Results:
    """Several runs as one: every run of every variant counts for the best,
    the lowest peak RSS of each; system calls and imports from the first run
    that has them."""
    if len(runs) == 1:
        return runs[0]
    merged = report.Results(rows=[])
    rows: dict[tuple[str, str, int], measure.Row] = {}
    for run in runs:
        for row in run.rows:
            key = (row.operation, row.fs, row.scale)
            if key not in rows:
                rows[key] = measure.Row(row.operation, row.fs, row.scale, items=row.items)
                merged.rows.append(rows[key])
            target = rows[key]
            for variant, samples in row.samples.items():
                target.samples.setdefault(variant, []).extend(samples)
            for variant, (before, peak) in row.rss_kb.items():
                if variant not in target.rss_kb or peak < target.rss_kb[variant][1]:
                    target.rss_kb[variant] = (before, peak)
            if row.mismatch:
                target.mismatch = "; ".join(filter(None, [target.mismatch, row.mismatch]))
        merged.syscalls = merged.syscalls or run.syscalls
        merged.syscall_note = merged.syscall_note or run.syscall_note
        merged.imports = merged.imports or run.imports
        merged.startup_note = merged.startup_note or run.startup_note
        merged.notes += [note for note in run.notes if note not in merged.notes]
    startups: dict[str, startup.Startup] = {}
    counts: dict[str, int] = {}
    for run in runs:
        for entry in run.startup:
            if entry.label not in startups:
                startups[entry.label] = startup.Startup(entry.label, entry.command, [], 0.0, 0.0)
                merged.startup.append(startups[entry.label])
            startups[entry.label].seconds += entry.seconds
            startups[entry.label].user += entry.user
            startups[entry.label].system += entry.system
            counts[entry.label] = counts.get(entry.label, 0) + 1
    for label, entry in startups.items():
        entry.user /= counts[label]
        entry.system /= counts[label]
    merged.meta = {
        "repeat": f"{' + '.join(run.meta.get('repeat', '?') for run in runs)} "
        f"over {len(runs)} runs",
        "startup_repeat": " + ".join(
            run.meta.get("startup_repeat", "?") for run in runs if run.startup
        ),
        "footer": "The best of these runs:\n\n"
        + "\n".join(f"- {run.meta.get('footer', '')}" for run in runs),
    }
    return merged


def as_json(results: report.Results) -> dict:
    """Every run's figures, for anyone who wants more than the tables."""
    return {
        "meta": results.meta,
        "rows": [
            {
                "operation": row.operation,
                "fs": row.fs,
                "scale": row.scale,
                "items": row.items,
                "mismatch": row.mismatch,
                "seconds": {
                    variant: [s.seconds for s in runs] for variant, runs in row.samples.items()
                },
                "user": {variant: [s.user for s in runs] for variant, runs in row.samples.items()},
                "system": {
                    variant: [s.system for s in runs] for variant, runs in row.samples.items()
                },
                "rss_kb": row.rss_kb,
            }
            for row in results.rows
        ],
        "syscalls": results.syscalls,
        "syscall_note": results.syscall_note,
        "startup_note": results.startup_note,
        "startup": [
            {"command": s.label, "seconds": s.seconds, "mean_user": s.user, "mean_system": s.system}
            for s in results.startup
        ],
        "imports": results.imports,
        "notes": results.notes,
    }


if __name__ == "__main__":
    sys.exit(main())
