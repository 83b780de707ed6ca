"""A downstream package that ships skill templates of its own, built with
hatchling and the `tarvek-skills` build hook (found through hatchling's
plugin entry point, as in a real build), without build isolation."""

import json
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import SETUP_PY, make_templates

pytest.importorskip("hatchling")

# Every test here builds a downstream package.
pytestmark = pytest.mark.slow

# alpha goes everywhere, beta into the sdist and the wheel, gamma only into
# the sdist (a contributor's skill): a wheel built from the sdist can carry
# everything the wheel admits.
MANIFEST = {"skills": {
    "alpha": {"tier": "core", "reason": "基础", "source": True, "wheel": True},
    "beta": {"tier": "extra", "reason": "扩展", "source": True, "wheel": True},
    "gamma": {"tier": "contrib", "reason": "贡献者", "source": True},
}}

PYPROJECT = """\
[build-system]
requires = ["hatchling", "tarvek-skills"]
build-backend = "hatchling.build"

[project]
name = "downstream"
version = "1.0"

[tool.hatch.build.targets.wheel]
packages = ["src/downstream"]

[tool.hatch.build.hooks.tarvek-skills]
templates = "src/downstream/skills"
"""


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "downstream"
    (root / "src/downstream").mkdir(parents=True)
    (root / "src/downstream/__init__.py").write_text("")
    make_templates(root / "src/downstream/skills", manifest=MANIFEST)
    (root / "pyproject.toml").write_text(PYPROJECT)
    return root


def build(source: Path, out: Path, *targets: str, **environment):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    env.update(environment)
    return subprocess.run([sys.executable, "-m", "build", "--no-isolation", *targets,
                           "--outdir", str(out), str(source)],
                          capture_output=True, text=True, env=env, timeout=300)


def contents(artifact: Path) -> tuple[list[str], dict]:
    """(skills, build record) of a built wheel or sdist."""
    if artifact.suffix == ".whl":
        with zipfile.ZipFile(artifact) as archive:
            names = archive.namelist()
            record = json.loads(archive.read("downstream/skills/build-record.json"))
        prefix = "downstream/skills/"
    else:
        with tarfile.open(artifact) as archive:
            names = [n.split("/", 1)[1] for n in archive.getnames() if "/" in n]
            record = json.load(archive.extractfile(
                "downstream-1.0/src/downstream/skills/build-record.json"))
        prefix = "src/downstream/skills/"
    skills = {n[len(prefix):].split("/")[0] for n in names
              if n.startswith(prefix) and n.count("/") > prefix.count("/")}
    return sorted(skills), record


def unpacked(sdist: Path, into: Path) -> Path:
    with tarfile.open(sdist) as archive:
        archive.extractall(into, filter="data")
    return into / "downstream-1.0"


def test_release_artifacts_and_a_wheel_built_from_the_sdist(project, tmp_path):
    result = build(project, tmp_path / "dist", "--sdist", "--wheel",
                   TARVEK_SKILL_PROFILE="python-release")
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    (wheel,), (sdist,) = (list((tmp_path / "dist").glob(p)) for p in ("*.whl", "*.tar.gz"))
    assert contents(wheel) == (["alpha", "beta"], {
        "format": 1, "profile": "python-release", "artifact": "wheel",
        "templates_path": "downstream/skills", "profile_source": "environment"})
    skills, record = contents(sdist)
    assert skills == ["alpha", "beta", "gamma"]
    assert (record["artifact"], record["templates_path"]) == ("sdist", "src/downstream/skills")
    # The source tree keeps everything and gets no record.
    source = project / "src/downstream/skills"
    assert sorted(p.name for p in source.iterdir()) == ["alpha", "beta", "gamma", "manifest.json"]

    # From the sdist, with no profile: the recorded one, and the log says so.
    result = build(unpacked(sdist, tmp_path / "x"), tmp_path / "again", "--wheel")
    assert result.returncode == 0, result.stderr[-3000:]
    (again,) = (tmp_path / "again").glob("*.whl")
    skills, record = contents(again)
    assert (skills, record["profile"], record["profile_source"]) == (
        ["alpha", "beta"], "python-release", "record")
    assert "recorded in the sdist's build record" in result.stdout + result.stderr

    # An explicit profile at wheel time wins over the record.
    result = build(unpacked(sdist, tmp_path / "y"), tmp_path / "dev", "--wheel",
                   TARVEK_SKILL_PROFILE="dev")
    assert result.returncode == 0, result.stderr[-3000:]
    (dev,) = (tmp_path / "dev").glob("*.whl")
    assert contents(dev)[0] == ["alpha", "beta", "gamma"]
    assert "in place of 'python-release' recorded in the sdist" in result.stdout + result.stderr


def test_the_configured_profile_wins_over_the_environment(project, tmp_path):
    with open(project / "pyproject.toml", "a") as stream:
        stream.write('profile = "python-release"\n')
    result = build(project, tmp_path / "dist", "--wheel", TARVEK_SKILL_PROFILE="dev")
    assert result.returncode == 0, result.stderr[-3000:]
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    skills, record = contents(wheel)
    assert (skills, record["profile_source"]) == (["alpha", "beta"], "configuration")


def test_no_profile_keeps_everything_and_says_so(project, tmp_path):
    result = build(project, tmp_path / "dist", "--sdist", "--wheel")
    assert result.returncode == 0, result.stderr[-3000:]
    for artifact in (tmp_path / "dist").iterdir():
        skills, record = contents(artifact)
        assert (skills, record["profile"], record["profile_source"]) == (
            ["alpha", "beta", "gamma"], "dev", "default")
    assert (result.stdout + result.stderr).count("falls back to 'dev'") >= 2


def test_files_the_project_excludes_stay_out(project, tmp_path):
    (project / ".gitignore").write_text("*.log\n")
    (project / "src/downstream/skills/alpha/notes.log").write_text("scratch")
    result = build(project, tmp_path / "dist", "--wheel", TARVEK_SKILL_PROFILE="python-release")
    assert result.returncode == 0, result.stderr[-3000:]
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert "downstream/skills/alpha/SKILL.md" in names
    assert not [n for n in names if n.endswith(".log") or n.endswith(".pyc")]
    assert len(names) == len(set(names))


def test_a_skill_the_sdist_does_not_carry_is_warned_about(project, tmp_path):
    # beta is admitted to the wheel but not to the sdist.
    manifest = json.loads(json.dumps(MANIFEST))
    manifest["skills"]["beta"]["source"] = False
    (project / "src/downstream/skills/manifest.json").write_text(json.dumps(manifest))
    result = build(project, tmp_path / "dist", TARVEK_SKILL_PROFILE="python-release")
    assert result.returncode == 0, result.stderr[-3000:]
    assert "admits beta to the wheel, but the templates tree it is built from has no such" in (
        result.stdout + result.stderr)


@pytest.mark.parametrize("setting, environment, message", [
    ('templates = "src/downstream/skills"', {"TARVEK_SKILL_PROFILE": "binary-full"},
     "不支持产物类型"),
    ('templates = "src/downstream/skills"', {"TARVEK_SKILL_PROFILE": "release"},
     "未知 Skill 构建 profile: release"),
    ('templates = "src/nowhere"', {}, "templates is not a directory"),
    ('templates = "../elsewhere"', {}, "must be a directory inside the project"),
    ('profile = "python-release"', {}, "needs `templates`"),
])
def test_refusals(project, tmp_path, setting, environment, message):
    text = (project / "pyproject.toml").read_text()
    (project / "pyproject.toml").write_text(
        text.replace('templates = "src/downstream/skills"', setting))
    result = build(project, tmp_path / "dist", "--wheel", **environment)
    assert result.returncode != 0
    assert message in result.stdout + result.stderr
    assert not list((tmp_path / "dist").glob("*.whl"))


@pytest.mark.parametrize("backend", ["hatchling.build", "setuptools.build_meta"])
def test_an_editable_wheel_leaves_the_source_tree_alone(project, tmp_path, backend):
    if backend.startswith("setuptools"):
        (project / "setup.py").write_text(SETUP_PY)
        (project / "MANIFEST.in").write_text("recursive-include src/downstream/skills *\n")
        (project / "pyproject.toml").write_text(
            '[build-system]\nrequires = ["setuptools"]\n'
            'build-backend = "setuptools.build_meta"\n')
    else:  # hatchling's .pth editable, which needs no `editables`
        text = (project / "pyproject.toml").read_text()
        (project / "pyproject.toml").write_text(text.replace(
            'packages = ["src/downstream"]\n', 'packages = ["src/downstream"]\n'
            'dev-mode-dirs = ["src"]\n'))
    before = sorted(str(p.relative_to(project)) for p in project.rglob("*")
                    if "egg-info" not in str(p))
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    env["TARVEK_SKILL_PROFILE"] = "python-release"
    result = subprocess.run(
        [sys.executable, "-c", f"import {backend} as b, sys; print(b.build_editable(sys.argv[1]))",
         str(tmp_path / "out")], cwd=project, capture_output=True, text=True, env=env,
        timeout=300)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert "editable install: skill templates are used from" in result.stdout + result.stderr
    after = sorted(str(p.relative_to(project)) for p in project.rglob("*")
                   if "egg-info" not in str(p) and "build" not in p.relative_to(project).parts)
    assert after == before
