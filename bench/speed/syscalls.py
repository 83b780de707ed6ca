"""System calls per operation, counted with `strace -c -f`.

A count is the difference between two runs of the same child: one that
makes the call and one that stops just before it, both after a warm-up
call, so that start-up, imports and first-call set-up cancel out.  For the
C program the second run is `floor noop`.
"""

from __future__ import annotations

import json
import shutil
import subprocess
from collections import Counter
from pathlib import Path

from . import operations
from .cfloor import Floor
from .measure import child_command, child_environment, work_spec
from .workload import Workload, build_templates, copy_tree


def strace_path() -> str | None:
    return shutil.which("strace")


def parse_summary(text: str) -> Counter:
    """The calls column of strace -c's table, by system call name."""
    counts: Counter = Counter()
    for line in text.splitlines():
        fields = line.split()
        if len(fields) < 5 or not fields[0][0].isdigit() or fields[-1] == "total":
            continue
        try:
            counts[fields[-1]] += int(fields[3])
        except ValueError:
            continue
    return counts


def traced(strace: str, command: list[str], out: Path, env=None) -> Counter:
    done = subprocess.run(
        [strace, "-c", "-f", "-o", str(out), *command], capture_output=True, text=True, env=env
    )
    if done.returncode != 0:
        raise RuntimeError(f"strace {' '.join(command)}: {done.stderr.strip()[-500:]}")
    counts = parse_summary(out.read_text())
    if not counts:
        raise RuntimeError(
            f"strace printed no table of calls for {' '.join(command)}: {out.read_text()[:300]}"
        )
    out.unlink()
    return counts


def difference(run: Counter, base: Counter) -> dict[str, int]:
    names = set(run) | set(base)
    result = {name: run[name] - base[name] for name in names}
    return {name: count for name, count in result.items() if count != 0}


def count_operation(
    strace: str, operation: str, variant: str, work: Workload, floor: Floor, scratch: Path
) -> dict[str, int]:
    """One call's system calls, by name."""
    out = scratch / "strace.txt"
    pruning = operation == "prune_templates_dir"
    if variant == "c":
        if pruning:
            copy_tree(work.templates, work.copy)
        run = traced(strace, floor.command(operations.c_arguments(operation, work)), out)
        base = traced(strace, floor.command(["noop"]), out)
        return difference(run, base)
    warm_source = scratch / "warm-templates"
    warm_target = scratch / "warm-copy"
    if pruning and not warm_source.exists():
        build_templates(warm_source, 3)
    spec = json.dumps(work_spec(work))
    counts = []
    for action in ("run", "skip"):
        if pruning:
            copy_tree(work.templates, work.copy)
            copy_tree(warm_source, warm_target)
        command = child_command("calls", operation, variant, spec, str(warm_target), action)
        counts.append(traced(strace, command, out, env=child_environment()))
    return difference(*counts)
