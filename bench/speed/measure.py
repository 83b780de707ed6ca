"""Interleaved timing of the four variants, and peak memory in children."""

from __future__ import annotations

import gc
import json
import os
import resource
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import objects, operations
from .cfloor import Floor
from .workload import Workload, copy_tree

BENCH_DIR = Path(__file__).resolve().parent.parent


@dataclass
class Sample:
    seconds: float
    user: float
    system: float


@dataclass
class Row:
    """One operation at one scale on one file system: every run of every variant."""

    operation: str
    fs: str
    scale: int
    samples: dict[str, list[Sample]] = field(default_factory=dict)
    items: int = 0
    mismatch: str = ""
    rss_kb: dict[str, tuple[int, int]] = field(default_factory=dict)  # variant: (before, peak)

    def best(self, variant: str) -> float | None:
        runs = self.samples.get(variant)
        return min(sample.seconds for sample in runs) if runs else None

    def system_share(self, variant: str) -> float | None:
        """System time over CPU time, all runs together (one run is too
        short for the kernel's accounting to split it reliably)."""
        runs = self.samples.get(variant)
        if not runs:
            return None
        cpu = sum(sample.user + sample.system for sample in runs)
        return sum(sample.system for sample in runs) / cpu if cpu > 0 else None


def timed_python(call) -> tuple[Sample, object]:
    # Every run starts from a clean heap, so that one run does not pay for
    # the garbage of the one before.
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    return Sample(
        elapsed, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime
    ), result


def measure_operation(
    row: Row,
    work: Workload,
    floor: Floor,
    repeat: int,
    variants: tuple[str, ...],
    scratch: Path,
    sync: bool,
) -> None:
    """Best-of timing, the variants interleaved run by run.  The first
    run's results of every variant are compared with the native path's."""
    operation = row.operation
    calls = {
        variant: operations.python_call(operation, work, variant)
        for variant in variants
        if variant != "c"
    }
    results: dict[str, list[str]] = {}
    required = None
    for run in range(repeat):
        for variant in variants:
            if operation == "prune_templates_dir":
                copy_tree(work.templates, work.copy)
                if sync:
                    os.sync()
            if variant == "c":
                out = scratch / "floor-results" if run == 0 else None
                done = floor.run(operations.c_arguments(operation, work), out)
                sample = Sample(done.seconds, done.user, done.system)
                if out is not None:
                    results[variant] = operations.with_tree(operation, done.results, work)
            else:
                with operations.variant_context(variant):
                    sample, value = timed_python(calls[variant])
                if run == 0:
                    items = operations.normalise(operation, value)
                    results[variant] = operations.with_tree(operation, items, work)
            row.samples.setdefault(variant, []).append(sample)
        # The Python work the operation cannot leave out, on the native
        # path's results, timed in the same round.
        if required is None and "native" in results:
            required = objects.required_work(operation, work, results["native"])
        if required is not None:
            row.samples.setdefault("required", []).append(timed_python(required)[0])
    reference = results.get("native")
    row.items = len(reference or [])
    differing = [variant for variant, value in results.items() if value != reference]
    if differing:
        row.mismatch = f"results differ from the native path's: {', '.join(differing)}"


# --- peak memory ---------------------------------------------------------------


def child_command(*arguments: str) -> list[str]:
    return [sys.executable, "-m", "speed.child", *arguments]


def child_environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(BENCH_DIR), env.get("PYTHONPATH")]))
    return env


def peak_rss(row: Row, work: Workload, floor: Floor, variants: tuple[str, ...]) -> None:
    """Each variant's peak RSS for one run of the operation, in a child of
    its own: the peak before the call (interpreter, imports, arguments) and
    after it."""
    spec = json.dumps(work_spec(work))
    for variant in variants:
        if variant == "object":
            continue  # the reference's memory is not a target
        if row.operation == "prune_templates_dir":
            copy_tree(work.templates, work.copy)
        if variant == "c":
            if floor.path is None:
                continue
            done = floor.run(operations.c_arguments(row.operation, work))
            # The program's own peak, start-up included; its start-up alone
            # is the peak of a run that does nothing.
            row.rss_kb[variant] = (floor.run(["noop"]).maxrss_kb, done.maxrss_kb)
            continue
        done = subprocess.run(
            child_command("rss", row.operation, variant, spec),
            capture_output=True,
            text=True,
            env=child_environment(),
        )
        if done.returncode != 0:
            raise RuntimeError(
                f"peak RSS child for {row.operation} ({variant}): {done.stderr.strip()}"
            )
        report = json.loads(done.stdout)
        row.rss_kb[variant] = (report["before_kb"], report["peak_kb"])


def work_spec(work: Workload) -> dict[str, str]:
    return {
        "base": str(work.base),
        "templates": str(work.templates),
        "home": str(work.home),
        "project": str(work.project),
        "copy": str(work.copy),
    }


def work_from_spec(spec: dict[str, str]) -> Workload:
    return Workload(
        Path(spec["base"]),
        Path(spec["templates"]),
        Path(spec["home"]),
        Path(spec["project"]),
        Path(spec["copy"]),
        0,
        0,
    )
