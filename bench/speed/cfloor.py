"""The C program (`floor.c`): compiled with the system's `cc`, run as a child."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).with_name("floor.c")


@dataclass
class Run:
    seconds: float
    user: float
    system: float
    items: int
    maxrss_kb: int
    results: list[str] | None = None


class Floor:
    """The compiled program, or the reason why there is none."""

    def __init__(self, build_dir: Path):
        self.path: Path | None = None
        self.problem = ""
        compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            self.problem = "no C compiler (cc) found: the C column is empty"
            return
        target = build_dir / "floor"
        command = [compiler, "-O2", "-std=c11", "-Wall", "-Wextra", "-o", str(target), str(SOURCE)]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            self.problem = f"`{' '.join(command)}` failed: {done.stderr.strip()[:500]}"
            return
        self.path = target
        self.compiler = compiler

    def command(self, arguments: list[str], out: Path | None = None) -> list[str]:
        assert self.path is not None
        return [str(self.path)] + (["--out", str(out)] if out else []) + arguments

    def run(self, arguments: list[str], out: Path | None = None) -> Run:
        """One run; with `out`, the results too (written by the program after
        its timing ends)."""
        done = subprocess.run(self.command(arguments, out), capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"floor {' '.join(arguments)}: {done.stderr.strip()}")
        report = json.loads(done.stdout)
        run = Run(
            report["seconds"],
            report["user"],
            report["system"],
            report["items"],
            report["maxrss_kb"],
        )
        if out is not None:
            data = out.read_bytes()
            run.results = [
                item.decode("utf-8", "surrogateescape") for item in data.split(b"\0")[:-1]
            ]
            out.unlink()
        return run
