"""The README tells the truth: its tables of profiles against the built-in
templates, and (slow) its quick start, its downstream recipes and its word
on editable installs, each run verbatim in fresh environments."""

import json
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import SOURCE_ROOT, clean_environment, find_links_env, fresh_venv, make_templates
from tarvek.skills import packaging

README = (SOURCE_ROOT / "README.md").read_text(encoding="utf-8")
TEMPLATES = SOURCE_ROOT / "src/tarvek/skills/templates"
TARVEK_SKILLS = str(Path(sys.executable).parent / "tarvek-skills")


def marked_blocks(marker: str) -> list[str]:
    """The fenced blocks that follow `<!-- marker -->` in the README, and the
    block right after each (its sample output, if any)."""
    pattern = re.compile(r"<!-- " + re.escape(marker) + r" -->\n```[a-z]*\n(.*?)```\n", re.S)
    found = pattern.findall(README)
    assert found, f"no block marked {marker!r} in the README"
    return found


def block_after(marker: str) -> str:
    """The fenced block following the one marked `marker`."""
    start = README.index(f"<!-- {marker} -->")
    blocks = re.findall(r"```[a-z]*\n(.*?)```\n", README[start:], re.S)
    return blocks[1]


def test_the_profile_table_says_what_each_build_admits():
    rows = re.findall(r"^\| `([a-z-]+)`(?: \(the default\))? \| `?([a-z]+)`? \| .*? \| (.*?) \|$",
                      README, re.M)
    assert len(rows) == 6
    everything = [p.name for p in packaging.list_template_dirs(TEMPLATES)]
    for profile, artifact, admits in rows:
        expected = packaging.selected_skill_names(
            profile=profile, artifact="wheel" if artifact == "any" else artifact,
            templates_dir=TEMPLATES)
        said = everything if admits == "every template" else admits.split(", ")
        assert said == expected, (profile, artifact)


def test_the_manifest_table_names_every_admission_flag():
    flags = set(re.findall(r"^\| `(source|wheel|binary|binary_full)` \|", README, re.M))
    assert flags == {key for keys in packaging._PROFILE_KEYS.values() for key in keys.values()}


def _lines(text: str, replacements: dict[str, str]) -> list[str]:
    for old, new in replacements.items():
        text = text.replace(old, new)
    return [" ".join(line.split()) for line in text.splitlines() if line.strip()]


@pytest.mark.slow
def test_the_quick_start(tmp_path, wheelhouse):
    home = tmp_path / "home/me"
    (home / "my-service/.claude").mkdir(parents=True)
    bin_dir = fresh_venv(tmp_path / "venv")
    env = find_links_env(wheelhouse, HOME=str(home), PATH=f"{bin_dir}:/usr/bin:/bin")
    (script,) = marked_blocks("quick-start: install")
    result = subprocess.run(["bash", "-euc", script], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    sample = _lines(block_after("quick-start: install"), {})
    assert _lines(result.stdout, {str(home): "/home/me"})[-len(sample):] == sample

    # verify, in a directory holding the wheel the quick start installed.
    (tmp_path / "dist").mkdir()
    (wheel,) = wheelhouse.glob("*.whl")
    shutil.copy(wheel, tmp_path / "dist")
    (script,) = marked_blocks("quick-start: verify")
    result = subprocess.run(["bash", "-euc", script], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    sample = _lines(block_after("quick-start: verify"), {})
    shown = re.search(r"dist/(tarvek_skills-\S+\.whl)", sample[0]).group(1)
    assert _lines(result.stdout, {wheel.name: shown}) == sample


# alpha goes everywhere, beta into the sdist and the wheel, gamma only into
# the sdist (a contributor's skill).
MYPKG_MANIFEST = {"skills": {
    "alpha": {"tier": "core", "reason": "基础", "source": True, "wheel": True},
    "beta": {"tier": "extra", "reason": "扩展", "source": True, "wheel": True},
    "gamma": {"tier": "contrib", "reason": "贡献者", "source": True},
}}


def _recipe_project(root: Path, packager: str) -> Path:
    files = {"setuptools": ["pyproject.toml", "setup.py", "MANIFEST.in"],
             "hatchling": ["pyproject.toml"]}[packager]
    for name in files:
        (text,) = marked_blocks(f"recipe: {packager} {name}")
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    (root / "src/mypkg").mkdir(parents=True)
    (root / "src/mypkg/__init__.py").write_text("")
    make_templates(root / "src/mypkg/skills", manifest=MYPKG_MANIFEST)
    return root


def _skills(artifact: Path) -> list[str]:
    if artifact.suffix == ".whl":
        with zipfile.ZipFile(artifact) as archive:
            names = archive.namelist()
        prefix = "mypkg/skills/"
    else:
        with tarfile.open(artifact) as archive:
            names = [n.split("/", 1)[1] for n in archive.getnames() if "/" in n]
        prefix = "src/mypkg/skills/"
    return sorted({n[len(prefix):].split("/")[0] for n in names
                   if n.startswith(prefix) and n.count("/") > prefix.count("/")})


@pytest.mark.slow
@pytest.mark.parametrize("packager", ["setuptools", "hatchling"])
def test_a_downstream_package_from_the_recipe(tmp_path, wheelhouse, packager):
    project = _recipe_project(tmp_path / "mypkg", packager)
    dist = tmp_path / "dist"
    # python -m build: the sdist, then the wheel from it, in isolated environments.
    result = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(dist), str(project)],
        capture_output=True, text=True, timeout=900,
        env=find_links_env(wheelhouse, TARVEK_SKILL_PROFILE="python-release"))
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    (sdist,), (wheel,) = dist.glob("*.tar.gz"), dist.glob("*.whl")
    assert (_skills(sdist), _skills(wheel)) == (["alpha", "beta", "gamma"], ["alpha", "beta"])

    # The sdist installed by someone who sets no profile.
    again = tmp_path / "again"
    result = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", str(again),
         str(sdist)], capture_output=True, text=True, timeout=900,
        env=find_links_env(wheelhouse))
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    (rebuilt,) = again.glob("*.whl")
    assert _skills(rebuilt) == ["alpha", "beta"]

    for artifact in (sdist, wheel, rebuilt):
        verify = subprocess.run([TARVEK_SKILLS, "verify", str(artifact), "--json"],
                                capture_output=True, text=True)
        assert verify.returncode == 0, verify.stdout + verify.stderr
        document = json.loads(verify.stdout)
        assert document["profile"] == "python-release" and document["profile_source"] == "record"
    with zipfile.ZipFile(rebuilt) as archive:
        archive.extractall(tmp_path / "installed")
        record = json.loads(archive.read("mypkg/skills/build-record.json"))
    assert record["profile_source"] == "record"
    doctor = subprocess.run([TARVEK_SKILLS, "doctor", "--json", "--templates",
                             str(tmp_path / "installed/mypkg/skills"), "--cwd", str(tmp_path)],
                            capture_output=True, text=True, env=find_links_env(
                                wheelhouse, HOME=str(tmp_path)))
    assert doctor.returncode == 0, doctor.stdout
    assert json.loads(doctor.stdout)["artifact"] == "wheel"


@pytest.mark.slow
def test_an_editable_install_behaves_as_the_readme_says(tmp_path):
    source = tmp_path / "tarvek"
    shutil.copytree(SOURCE_ROOT, source, ignore=shutil.ignore_patterns(
        ".git", ".venv", "build", "dist", "__pycache__", "*.egg-info"))
    bin_dir = fresh_venv(tmp_path / "venv")
    env = clean_environment(HOME=str(tmp_path))

    def install():
        result = subprocess.run([str(bin_dir / "pip"), "install", "-e", str(source)],
                                capture_output=True, text=True, timeout=1200, env=env)
        assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]

    def python(code):
        result = subprocess.run([str(bin_dir / "python"), "-c", code], capture_output=True,
                                text=True, env=env, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        return result.stdout.strip()

    install()
    assert python("import tarvek.skills.cli as m; print(m.__file__)") == str(
        source / "src/tarvek/skills/cli/__init__.py")
    # A Python edit takes effect at the next import ...
    with open(source / "src/tarvek/skills/__init__.py", "a") as stream:
        stream.write("EDITED = 'yes'\n")
    assert python("import tarvek.skills as s; print(s.EDITED)") == "yes"
    # ... while the templates are installed as for a wheel, with their record,
    # and a template edit needs the install again.
    installed = python("from tarvek.skills import packaging; "
                       "print(packaging.get_builtin_templates_dir())")
    assert not installed.startswith(str(source))
    assert json.loads(Path(installed, "build-record.json").read_text())["artifact"] == "wheel"
    skill = source / "src/tarvek/skills/templates/ops-safety/SKILL.md"
    skill.write_text(skill.read_text() + "\nedited\n")
    assert Path(installed, "ops-safety/SKILL.md").read_text() != skill.read_text()
    doctor = subprocess.run([str(bin_dir / "tarvek-skills"), "doctor"], capture_output=True,
                            text=True, env=env, cwd=tmp_path)
    assert doctor.returncode == 0, doctor.stdout
    install()
    assert Path(installed, "ops-safety/SKILL.md").read_text() == skill.read_text()


@pytest.mark.parametrize("platform, identifiers", [
    ("linux", ["cp313-manylinux_x86_64", "cp313-musllinux_x86_64"]),
    ("macos", ["cp313-macosx_x86_64", "cp313-macosx_arm64"]),
    ("windows", ["cp313-win_amd64"]),
])
def test_cibuildwheel_accepts_the_configuration(platform, identifiers):
    # The builds themselves need machines of those kinds: untested here.
    command = Path(sys.executable).parent / "cibuildwheel"
    if not command.exists():
        pytest.skip("cibuildwheel is not installed (test extras)")
    result = subprocess.run([str(command), "--print-build-identifiers", "--platform", platform],
                            cwd=SOURCE_ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == identifiers


def test_the_lock_file_sample_is_what_the_command_writes():
    import tomllib

    from tarvek.skills.cli import lockfile

    (sample,) = marked_blocks("session: lock file")
    table = tomllib.loads(sample)["skills"]["triage"]
    entry = lockfile.Entry("triage", **{key: table[key] for key in (
        "source", "revision", "digest", "version", "targets", "path")})
    assert list(entry.as_toml().items()) == list(table.items())


@pytest.mark.parametrize("session", ["sources", "restore", "drift", "refusals", "languages",
                                     "bash", "zsh", "fish"])
def test_the_sessions_use_the_command_line_as_it_is(session):
    import shlex

    from tarvek.skills.cli.parsing import build_parser

    (block,) = marked_blocks(f"session: {session}")
    commands = [line[2:] for line in block.splitlines()
                if line[:2] in ("$ ", "% ", "> ") and "tarvek-skills " in line
                and "<TAB>" not in line]
    assert commands
    for command in commands:
        words = shlex.split(command.split(" >")[0], comments=True)
        while "=" in words[0]:  # LANG=... before the command
            words.pop(0)
        assert words[0] == "tarvek-skills"
        build_parser().parse_args(words[1:])  # raises UsageError if not
