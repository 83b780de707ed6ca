"""A downstream package that ships skill templates of its own, built with
`python -m build` through the setuptools commands of
`tarvek.skills.setuptools_commands`."""

import json
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import MANIFEST, SETUP_PY, make_templates


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "downstream"
    (root / "src/downstream").mkdir(parents=True)
    (root / "src/downstream/__init__.py").write_text("")
    make_templates(root / "src/downstream/skills")
    (root / "setup.py").write_text(SETUP_PY)
    (root / "MANIFEST.in").write_text("recursive-include src/downstream/skills *\n"
                                      "global-exclude *.py[co]\n")
    (root / "pyproject.toml").write_text(
        '[build-system]\nrequires = ["setuptools"]\nbuild-backend = "setuptools.build_meta"\n')
    return root


def _build(project, **environment):
    env = {k: v for k, v in os.environ.items()
           if k not in ("TARVEK_SKILL_PROFILE", "DOWNSTREAM_PROFILE")}
    env.update(environment)
    # --sdist --wheel builds each from the source tree (not the wheel from the sdist).
    return subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--sdist", "--wheel",
                           "--outdir",
                           str(project / "dist"), str(project)],
                          capture_output=True, text=True, env=env, timeout=300)


def _skills(project) -> tuple[list[str], list[str]]:
    wheel = next((project / "dist").glob("*.whl"))
    with zipfile.ZipFile(wheel) as archive:
        in_wheel = {Path(n).parts[2] for n in archive.namelist()
                    if n.startswith("downstream/skills/") and len(Path(n).parts) > 3}
    sdist = next((project / "dist").glob("*.tar.gz"))
    with tarfile.open(sdist) as archive:
        in_sdist = {Path(n).parts[4] for n in archive.getnames()
                    if "/src/downstream/skills/" in n and len(Path(n).parts) > 5}
    return sorted(in_wheel), sorted(in_sdist)


@pytest.mark.slow
@pytest.mark.parametrize("environment, wheel, sdist", [
    ({"TARVEK_SKILL_PROFILE": "python-release"}, ["alpha", "beta"], ["alpha"]),
    ({"DOWNSTREAM_PROFILE": "python-release", "TARVEK_SKILL_PROFILE": "dev"},
     ["alpha", "beta"], ["alpha"]),
    ({"TARVEK_SKILL_PROFILE": "internal"}, ["alpha", "beta", "gamma"], ["alpha", "beta", "gamma"]),
])
def test_the_wheel_and_the_sdist_carry_the_admitted_skills(project, environment, wheel, sdist):
    result = _build(project, **environment)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert _skills(project) == (wheel, sdist)
    assert "falls back" not in result.stdout + result.stderr
    # Each records its build and where its templates lie.
    with zipfile.ZipFile(next((project / "dist").glob("*.whl"))) as archive:
        record = json.loads(archive.read("downstream/skills/build-record.json"))
    assert (record["artifact"], record["templates_path"]) == ("wheel", "downstream/skills")
    with tarfile.open(next((project / "dist").glob("*.tar.gz"))) as archive:
        record = json.load(archive.extractfile(
            "downstream-1.0/src/downstream/skills/build-record.json"))
    assert (record["artifact"], record["templates_path"]) == ("sdist", "src/downstream/skills")
    # The source tree keeps everything.
    assert sorted(p.name for p in (project / "src/downstream/skills").iterdir()
                  if p.is_dir()) == ["alpha", "beta", "gamma"]


@pytest.mark.slow
def test_no_profile_keeps_everything_and_says_so(project):
    result = _build(project)
    assert result.returncode == 0, result.stderr[-3000:]
    assert _skills(project) == (["alpha", "beta", "gamma"], ["alpha", "beta", "gamma"])
    assert (result.stdout + result.stderr).count("falls back to 'dev'") >= 2  # wheel and sdist


@pytest.mark.slow
def test_the_packages_own_manifest_decides(project, tmp_path, monkeypatch):
    # Another tree's manifest in the environment plays no part.
    other = make_templates(tmp_path / "other", manifest={"skills": {
        name: {"wheel": True, "source": True} for name in ("alpha", "beta", "gamma")}})
    result = _build(project, TARVEK_SKILL_PROFILE="python-release",
                    TARVEK_BUILTIN_TEMPLATES_DIR=str(other))
    assert result.returncode == 0, result.stderr[-3000:]
    assert _skills(project) == (["alpha", "beta"], ["alpha"])
    assert json.loads((project / "src/downstream/skills/manifest.json").read_text()) == MANIFEST


@pytest.mark.slow
@pytest.mark.parametrize("profile, message", [
    ("binary-full", "不支持产物类型 'sdist'"), ("release", "未知 Skill 构建 profile: release")])
def test_a_profile_that_cannot_build_fails_the_build(project, profile, message):
    result = _build(project, TARVEK_SKILL_PROFILE=profile)
    assert result.returncode != 0
    assert message in result.stdout + result.stderr


def test_keyword_arguments_are_required():
    from tarvek.skills.setuptools_commands import skill_commands

    with pytest.raises(TypeError):
        skill_commands(package_templates="downstream/skills", profile=None)
    with pytest.raises(TypeError):
        skill_commands(package_templates="x", manifest_templates_dir="y")


def test_without_setuptools_the_import_names_the_extra(tmp_path):
    # A package named setuptools that cannot be imported stands for its absence.
    blocker = tmp_path / "setuptools"
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named "
                                         "'setuptools'\", name='setuptools')\n")
    result = subprocess.run([sys.executable, "-c",
                             "import tarvek.skills.setuptools_commands"],
                            capture_output=True, text=True, cwd=tmp_path,
                            env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert result.returncode == 1
    assert 'tarvek-skills[setuptools]' in result.stderr
