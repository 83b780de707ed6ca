"""The PyInstaller hooks, found through the package's entry point and run
as PyInstaller runs them (a real one-file build is checked by
tools/check_release_artifacts.py in CI)."""

import runpy
from importlib import metadata
from pathlib import Path

import pytest

from conftest import make_templates
from tarvek.skills import packaging

pytest.importorskip("PyInstaller")


def _hook_dir() -> Path:
    (entry,) = [e for e in metadata.entry_points(group="pyinstaller40")
                if e.value.startswith("tarvek.skills.")]
    (directory,) = entry.load()()
    return Path(directory)


def test_the_entry_point_names_the_hooks():
    assert sorted(p.name for p in _hook_dir().glob("hook-*.py")) == [
        "hook-tarvek.skills.cli.py", "hook-tarvek.skills.discovery.detector.py",
        "hook-tarvek.skills.packaging.py", "hook-tarvek.skills.py"]


def test_the_detectors_imports_from_cpp_are_declared():
    hidden = runpy.run_path(str(_hook_dir() / "hook-tarvek.skills.discovery.detector.py"))
    assert "tarvek.skills.domain.models" in hidden["hiddenimports"]
    # Every module the two extension modules bind at load.
    from tarvek.skills.discovery import detector
    imported = {v.__name__ for v in vars(detector).values() if type(v) is type(detector)}
    imported |= {v.__name__ for v in vars(packaging).values() if type(v) is type(packaging)}
    declared = set(hidden["hiddenimports"]) | set(runpy.run_path(
        str(_hook_dir() / "hook-tarvek.skills.packaging.py"))["hiddenimports"])
    assert imported <= declared


@pytest.mark.parametrize("profile, skills", [(None, ["alpha"]), ("binary-full", ["alpha", "beta"]),
                                             ("dev", ["alpha", "beta", "gamma"])])
def test_datas_follow_the_profile(monkeypatch, tmp_path, profile, skills):
    root = make_templates(tmp_path / "tpl")
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(root))
    if profile is None:
        monkeypatch.delenv("TARVEK_SKILL_PROFILE", raising=False)
    else:
        monkeypatch.setenv("TARVEK_SKILL_PROFILE", profile)
    datas = runpy.run_path(str(_hook_dir() / "hook-tarvek.skills.py"))["datas"]
    templates = [d for d in datas if d[0].startswith(str(root))]
    assert templates == [tuple(p) for p in packaging.collect_skill_datas(
        profile=profile or "binary-minimal", templates_dir=root)]
    assert sorted({Path(src).relative_to(root).parts[0] for src, _ in templates} -
                  {"manifest.json"}) == skills
    assert any(src.endswith(".dist-info") and "tarvek_skills" in src for src, _ in datas)


@pytest.mark.parametrize("profile, message", [
    ("python-release", "不支持产物类型 'binary'"), ("release", "未知 Skill 构建 profile: release")])
def test_a_profile_that_cannot_build_a_binary_stops_the_build(monkeypatch, tmp_path, profile,
                                                              message):
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(make_templates(tmp_path / "tpl")))
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", profile)
    with pytest.raises(SystemExit, match=message):
        runpy.run_path(str(_hook_dir() / "hook-tarvek.skills.py"))
