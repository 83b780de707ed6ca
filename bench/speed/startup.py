"""Whole-process timings of the `tarvek-skills` command against `python -c pass`."""

from __future__ import annotations

import os
import resource
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from .workload import build_installed, build_project

INSTALLED_FOR_LIST = 10


@dataclass
class Startup:
    label: str
    command: list[str]
    seconds: list[float] = field(default_factory=list)
    user: float = 0.0
    system: float = 0.0

    @property
    def best(self) -> float:
        return min(self.seconds)


def command_path() -> str | None:
    """The console script installed beside this interpreter, else on PATH."""
    beside = Path(sys.executable).with_name("tarvek-skills")
    if beside.exists():
        return str(beside)
    return shutil.which("tarvek-skills")


def measure_startup(scratch: Path, repeat: int) -> tuple[list[Startup], dict[str, str], str]:
    """Each command run `repeat` times, interleaved, in a temporary home and
    project with 10 installed skills.  Returns the timings, the environment
    used and a note ("" when the command was found)."""
    script = command_path()
    home = scratch / "startup-home"
    project = scratch / "startup-project"
    build_installed(home, INSTALLED_FOR_LIST)
    build_project(project)
    env = {
        key: value
        for key, value in os.environ.items()
        if not key.startswith("TARVEK_") and key not in ("PYTHONPATH", "PYTHONSTARTUP")
    }
    env["HOME"] = str(home)
    commands = [Startup("python -c pass", [sys.executable, "-c", "pass"])]
    if script is None:
        return (
            commands,
            env,
            "the `tarvek-skills` command was not found beside this interpreter nor on PATH",
        )
    commands += [
        Startup("tarvek-skills -V", [script, "-V"]),
        Startup("tarvek-skills --help", [script, "--help"]),
        Startup(f"tarvek-skills list ({INSTALLED_FOR_LIST} skills)", [script, "list"]),
    ]
    # One untimed round: files in the page cache, bytecode written.
    for startup in commands:
        run(startup.command, env, project)
    for _ in range(repeat):
        for startup in commands:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            run(startup.command, env, project)
            startup.seconds.append(time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            startup.user += (after.ru_utime - before.ru_utime) / repeat
            startup.system += (after.ru_stime - before.ru_stime) / repeat
    return commands, env, ""


def run(command: list[str], env: dict[str, str], cwd: Path) -> None:
    done = subprocess.run(
        command, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    if done.returncode != 0:
        raise RuntimeError(
            f"{' '.join(command)} exited {done.returncode}: {done.stderr.decode()[-500:]}"
        )


def import_profile(
    args: list[str], env: dict[str, str], cwd: Path, top: int = 8, runs: int = 5
) -> list[tuple[str, float]]:
    """The modules that the command imports, slowest first (cumulative
    milliseconds from `-X importtime`, the least of `runs` runs), leaving
    out those that `python -c pass` imports too."""
    best: dict[str, float] = {}
    for _ in range(runs):
        for name, cumulative in _import_profile_once(args, env, cwd):
            best[name] = min(cumulative, best.get(name, cumulative))
    return sorted(best.items(), key=lambda entry: -entry[1])[:top]


def _import_profile_once(
    args: list[str], env: dict[str, str], cwd: Path
) -> list[tuple[str, float]]:
    code = (
        "import sys; sys.argv = ['tarvek-skills', *sys.argv[1:]]\n"
        "from tarvek.skills.cli import main\n"
        "sys.exit(main())"
    )
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", code, *args],
        env=env,
        cwd=cwd,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    baseline = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", "pass"],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
    )
    base_modules = {line.rsplit("|", 1)[-1].strip() for line in baseline.stderr.splitlines()}
    entries = []
    for line in done.stderr.splitlines():
        # "import time: SELF | CUMULATIVE | NAME", nested names indented by two.
        fields = line.removeprefix("import time:").split("|")
        if (
            not line.startswith("import time:")
            or len(fields) != 3
            or not fields[1].strip().isdigit()
        ):
            continue
        raw = fields[2]
        depth = (len(raw) - len(raw.lstrip()) - 1) // 2
        name = raw.strip()
        if depth == 0 and name not in base_modules:
            entries.append((name, int(fields[1]) / 1000))
    return entries
