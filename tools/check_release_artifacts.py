"""Build the release artifacts the way a release engineer does and check
the skill templates each one carries against the release manifest.

  - `python -m build` under TARVEK_SKILL_PROFILE=python-release and with no
    profile: the wheel must carry exactly the skills admitted for "wheel",
    the sdist those admitted for "sdist" (all of them without a profile);
  - an unknown profile, or one without an entry for the artifact, fails the
    build with the packaging module's message;
  - `pyinstaller --onefile` of a small app that imports both modules, for
    binary-minimal and binary-full: the binary must find its templates under
    sys._MEIPASS and carry exactly the skills admitted for "binary", and a
    one-file build of the command must know its version.

Run with the project's virtual environment (it needs build and pyinstaller,
from the test extras):  .venv/bin/python tools/check_release_artifacts.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tarfile
import tempfile
import time
import venv
import zipfile
from importlib import metadata
from pathlib import Path

from tarvek.skills import packaging

ROOT = Path(__file__).resolve().parent.parent
TEMPLATES = ROOT / "src/tarvek/skills/templates"

APP = """\
import json, sys
from importlib import metadata
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector

print(json.dumps({
    "meipass": getattr(sys, "_MEIPASS", None),
    "templates": str(packaging.get_builtin_templates_dir()),
    "skills": [p.name for p in packaging.list_template_dirs()],
    "runtimes": [r for r, _ in SkillDetector().detect_all_install_targets()],
    "version": metadata.version("tarvek-skills"),
}))
"""
COMMAND = "import sys\nfrom tarvek.skills.cli import main\nsys.exit(main())\n"

failures: list[str] = []


def check(condition: bool, what: str) -> None:
    print(("  ok    " if condition else "  FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


def run(command: list[str], profile: str | None, cwd: Path | None = None,
        may_fail: bool = False) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    if profile is not None:
        env["TARVEK_SKILL_PROFILE"] = profile
    started = time.monotonic()
    result = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    if result.returncode != 0 and not may_fail:
        sys.stderr.write(result.stdout[-4000:] + result.stderr[-4000:])
        raise SystemExit(f"failed ({result.returncode}): {' '.join(command)}")
    print(f"  ({time.monotonic() - started:.0f} s) {' '.join(command[-3:])}", flush=True)
    return result


def admitted(profile: str | None, artifact: str) -> list[str]:
    return list(packaging.selected_skill_names(profile=profile or "dev", artifact=artifact,
                                               templates_dir=TEMPLATES))


def wheel_skills(wheel: Path) -> list[str]:
    with zipfile.ZipFile(wheel) as archive:
        return sorted({Path(n).parts[3] for n in archive.namelist()
                       if n.startswith("tarvek/skills/templates/") and len(Path(n).parts) > 4})


def sdist_skills(sdist: Path) -> list[str]:
    with tarfile.open(sdist) as archive:
        return sorted({Path(n).parts[5] for n in archive.getnames()
                       if "/src/tarvek/skills/templates/" in n and len(Path(n).parts) > 6})


def check_python_artifacts(scratch: Path) -> Path:
    """Build and check wheel and sdist under each profile; return the wheel
    built without a profile (it carries every template)."""
    full_wheel = None
    for profile in ("python-release", None):
        label = profile or "(no profile)"
        print(f"== python -m build, profile {label}", flush=True)
        out = scratch / f"dist-{profile or 'none'}"
        run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)], profile)
        wheel, = out.glob("*.whl")
        sdist, = out.glob("*.tar.gz")
        for artifact, path, found in (("wheel", wheel, wheel_skills(wheel)),
                                      ("sdist", sdist, sdist_skills(sdist))):
            expected = admitted(profile, artifact)
            print(f"  {path.name}: {path.stat().st_size / 1024:.0f} KiB, skills {found}")
            check(found == expected, f"{artifact} under {label} carries {expected}")
            verify = subprocess.run(
                [str(Path(sys.executable).parent / "tarvek-skills"), "verify", str(path),
                 "--profile", profile or "dev", "--artifact", artifact],
                capture_output=True, text=True)
            check(verify.returncode == 0, f"tarvek-skills verify accepts the {artifact} under "
                  f"{label}: {verify.stdout.strip().splitlines()[-1:]}")
        if profile is None:
            full_wheel = wheel
    assert full_wheel is not None
    return full_wheel


def check_refused_profiles(scratch: Path) -> None:
    print("== python -m build under profiles that cannot build the artifact", flush=True)
    for option, profile, message in (
            ("--wheel", "binary-full", "profile 'binary-full' 不支持产物类型 'wheel'"),
            ("--sdist", "nonsense", "未知 Skill 构建 profile: nonsense")):
        result = run([sys.executable, "-m", "build", option, "--outdir",
                      str(scratch / "refused"), str(ROOT)], profile, may_fail=True)
        check(result.returncode != 0 and message in result.stdout + result.stderr,
              f"{option} under {profile} fails with: {message}")


def check_binaries(scratch: Path, wheel: Path) -> None:
    print("== pyinstaller --onefile", flush=True)
    env_dir = scratch / "pyinstaller-env"
    venv.create(env_dir, with_pip=True)
    python = str(env_dir / "bin/python")
    run([python, "-m", "pip", "install", "--quiet", "pyinstaller", str(wheel)], None)
    pyinstaller = str(env_dir / "bin/pyinstaller")
    (scratch / "app.py").write_text(APP)
    (scratch / "tarvek_skills_command.py").write_text(COMMAND)
    version = metadata.version("tarvek-skills")
    for profile in ("binary-minimal", "binary-full"):
        work = scratch / profile
        run([pyinstaller, "--onefile", "--noconfirm", "--distpath", str(work / "dist"),
             "--workpath", str(work / "build"), "--specpath", str(work), str(scratch / "app.py")],
            profile)
        binary = work / "dist/app"
        report = json.loads(run([str(binary)], None, cwd=scratch).stdout)
        expected = admitted(profile, "binary")
        print(f"  app ({profile}): {binary.stat().st_size / 1024 / 1024:.1f} MiB, "
              f"skills {report['skills']}")
        check(report["meipass"] is not None and report["templates"] == str(
            Path(report["meipass"], "tarvek/skills/templates")),
              f"the {profile} binary finds its templates under sys._MEIPASS")
        check(report["skills"] == expected, f"the {profile} binary carries {expected}")
        check(len(report["runtimes"]) == 6, f"the {profile} binary's detector works")
        check(report["version"] == version, f"the {profile} binary has the distribution metadata")
    work = scratch / "command"
    run([pyinstaller, "--onefile", "--noconfirm", "--name", "tarvek-skills", "--distpath",
         str(work / "dist"), "--workpath", str(work / "build"), "--specpath", str(work),
         str(scratch / "tarvek_skills_command.py")], None)
    shown = run([str(work / "dist/tarvek-skills"), "--version"], None).stdout.split()
    check(shown == ["tarvek-skills", version], f"tarvek-skills --version in a binary: {shown}")


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="tarvek-artifacts-") as scratch:
        wheel = check_python_artifacts(Path(scratch))
        check_refused_profiles(Path(scratch))
        check_binaries(Path(scratch), wheel)
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print("every artifact carries exactly the admitted skills")
    return 0


if __name__ == "__main__":
    sys.exit(main())
