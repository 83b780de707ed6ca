"""The built-in skill templates shipped inside the installed package."""

import json
import os
import shutil
from pathlib import Path

import pytest

from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

RELEASE_BUILDS = [
    ("python-release", "sdist"),
    ("python-release", "wheel"),
    ("binary-minimal", "binary"),
    ("binary-full", "binary"),
]


@pytest.fixture(autouse=True)
def installed_templates(monkeypatch):
    monkeypatch.delenv("TARVEK_BUILTIN_TEMPLATES_DIR", raising=False)
    monkeypatch.delenv("TARVEK_SKILL_PROFILE", raising=False)


@pytest.fixture
def builtin():
    return packaging.get_builtin_templates_dir()


def skill_dirs(root):
    return packaging.list_template_dirs(root)


def front_matter(text):
    """The key/value lines between the opening and closing `---` lines."""
    lines = text.splitlines()
    assert lines and lines[0] == "---", "SKILL.md must open with front matter"
    end = lines.index("---", 1)
    fields = {}
    for line in lines[1:end]:
        key, sep, value = line.partition(":")
        assert sep and key.strip() == key and key, f"not a key/value line: {line!r}"
        assert key not in fields, f"repeated key {key!r}"
        fields[key] = value.strip()
    return fields, "\n".join(lines[end + 1:])


def test_templates_are_installed(builtin):
    # The templates travel with the installed module, not with the source tree.
    assert builtin == Path(packaging.__file__).resolve().parent / "templates"
    assert builtin.is_dir()
    assert (builtin / packaging.MANIFEST_FILENAME).is_file()
    assert 4 <= len(skill_dirs(builtin)) <= 6


def test_release_check_passes(builtin):
    assert packaging.validate_release_manifest() == []
    assert packaging.validate_release_manifest(builtin) == []


def test_every_skill_is_complete(builtin):
    manifest = packaging.load_release_manifest()
    for directory in skill_dirs(builtin):
        fields, body = front_matter((directory / "SKILL.md").read_text(encoding="utf-8"))
        assert fields["name"] == directory.name
        assert len(fields["description"]) >= 40
        assert len(body.split()) >= 150, f"{directory.name}: instructions too thin"
        version = json.loads((directory / "data" / "VERSION.json").read_text(encoding="utf-8"))
        assert isinstance(version, dict) and isinstance(version.get("version"), str)
        assert version["version"].strip()
        assert set(manifest["skills"][directory.name]) >= {"tier", "reason", "source", "wheel",
                                                           "binary", "binary_full"}
        junk = [p for p in directory.rglob("*") if p.is_file() and not
                packaging._is_packable_file(p)]
        assert junk == []


def test_each_release_build_takes_a_different_set(builtin):
    everything = [p.name for p in skill_dirs(builtin)]
    chosen = {build: packaging.selected_skill_names(profile=build[0], artifact=build[1])
              for build in RELEASE_BUILDS}
    sets = [frozenset(names) for names in chosen.values()]
    assert all(sets), chosen
    assert len(set(sets)) == len(RELEASE_BUILDS), chosen
    # Something common to all, and every template ships in some release build.
    assert frozenset.intersection(*sets)
    assert frozenset.union(*sets) == frozenset(everything)
    assert packaging.selected_skill_names(profile="dev", artifact="wheel") == everything
    # The wheel is the source distribution minus source-only skills, and the minimal
    # binary is a part of the full one.
    sdist, wheel, minimal, full = (chosen[build] for build in RELEASE_BUILDS)
    assert set(wheel) < set(sdist) and set(minimal) < set(full)


@pytest.mark.parametrize("profile, artifact", RELEASE_BUILDS + [("dev", "wheel")])
def test_pruning_a_copy_keeps_the_selected_skills(tmp_path, builtin, profile, artifact):
    target = tmp_path / "staging" / "templates"
    shutil.copytree(builtin, target)
    kept = packaging.prune_templates_dir(target, profile=profile, artifact=artifact)
    expected = packaging.selected_skill_names(profile=profile, artifact=artifact)
    assert kept == expected
    # Files beside the skills (the manifest, the build record) stay.
    files = [p.name for p in builtin.iterdir() if p.is_file()]
    assert "manifest.json" in files
    assert sorted(p.name for p in target.iterdir()) == sorted(expected + files)
    for name in kept:
        assert (target / name / "SKILL.md").read_bytes() == \
            (builtin / name / "SKILL.md").read_bytes()


@pytest.mark.parametrize("profile", [None, "binary-full"])
def test_collected_binary_datas(builtin, profile):
    datas = packaging.collect_skill_datas(profile=profile)
    chosen = packaging.selected_skill_names(profile=profile or "binary-minimal",
                                            artifact="binary")
    dest = os.path.join("tarvek", "skills", "templates")
    assert datas[-1] == (str(builtin / "manifest.json"), dest)
    for name in chosen:
        assert (str(builtin / name / "SKILL.md"), os.path.join(dest, name)) in datas
        assert (str(builtin / name / "data" / "VERSION.json"),
                os.path.join(dest, name, "data")) in datas
    shipped = {os.path.relpath(src, builtin).split(os.sep)[0] for src, _ in datas[:-1]}
    assert shipped == set(chosen)
