"""A child process that runs one operation once: for its peak memory
(`rss`) or under strace (`calls`).

    python -m speed.child rss OPERATION VARIANT SPEC
    python -m speed.child calls OPERATION VARIANT SPEC WARM_TARGET run|skip

SPEC is the workload's paths as JSON.  `calls` first runs the operation
once as a warm-up (on WARM_TARGET for pruning, which must not touch the
measured copy), so that imports and first-call set-up are done, and then
runs it again only with `run`: the difference between the two children's
counts is one call's system calls.
"""

from __future__ import annotations

import gc
import json
import sys
from pathlib import Path

from . import operations
from .measure import work_from_spec


def peak_rss_kb() -> int:
    """This process's peak resident set (VmHWM).  getrusage's ru_maxrss
    would count the parent's memory too when the parent started this
    process by vfork, as subprocess does."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def main(argv: list[str]) -> int:
    mode, operation, variant, spec = argv[:4]
    work = work_from_spec(json.loads(spec))
    operations.environment_for(work)
    if mode == "rss":
        call = operations.python_call(operation, work, variant)
        gc.collect()
        before = peak_rss_kb()
        with operations.variant_context(variant):
            call()
        peak = peak_rss_kb()
        print(json.dumps({"before_kb": before, "peak_kb": peak}))
        return 0
    if mode == "calls":
        warm_target, action = Path(argv[4]), argv[5]
        warm = operations.python_call(operation, work, variant, target=warm_target)
        call = operations.python_call(operation, work, variant)
        with operations.variant_context(variant):
            warm()
            gc.collect()
            if action == "run":
                call()
        return 0
    print(f"unknown mode {mode}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
