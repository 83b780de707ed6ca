"""`tarvek-skills verify` on built artifacts and templates trees."""

import json
import shutil
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import ADMITTED, make_templates, run_json


def _pack(tree: Path, kind: str, out: Path) -> Path:
    """tree as a wheel (templates at tarvek/skills/templates) or an sdist
    (templates at NAME/src/tarvek/skills/templates)."""
    if kind == "wheel":
        path = out / "pkg-1.0-py3-none-any.whl"
        with zipfile.ZipFile(path, "w") as archive:
            for file in sorted(tree.rglob("*")):
                if file.is_file():
                    archive.write(file, Path("tarvek/skills/templates", file.relative_to(tree)))
    else:
        path = out / "pkg-1.0.tar.gz"
        with tarfile.open(path, "w:gz") as archive:
            archive.add(tree, "pkg-1.0/src/tarvek/skills/templates")
    return path


@pytest.mark.parametrize("form", ["templates", "binary tree", "wheel", "sdist"])
@pytest.mark.parametrize("profile, artifact", [("python-release", "wheel"),
                                               ("binary-full", "binary"), ("dev", "wheel")])
def test_an_artifact_holding_exactly_the_admitted_skills(run, tmp_path, form, profile, artifact):
    tree = make_templates(tmp_path / "tpl")
    for name in ("alpha", "beta", "gamma"):
        if name not in ADMITTED[(profile, artifact)]:
            for file in sorted((tree / name).rglob("*"), reverse=True):
                file.unlink() if not file.is_dir() else file.rmdir()
            (tree / name).rmdir()
    if form == "binary tree":
        target = tmp_path / "unpacked"
        (target / "tarvek/skills").mkdir(parents=True)
        tree.rename(target / "tarvek/skills/templates")
    elif form in ("wheel", "sdist"):
        target = _pack(tree, form, tmp_path)
    else:
        target = tree
    document = run_json(run, "verify", target, "--profile", profile, "--artifact", artifact)
    assert document["present"] == document["admitted"] == ADMITTED[(profile, artifact)]
    assert document["not_admitted"] == document["missing"] == document["outside_links"] == []


@pytest.mark.parametrize("form", ["templates", "wheel", "sdist"])
def test_extra_and_missing_skills_are_reported(run, tmp_path, form):
    tree = make_templates(tmp_path / "tpl")  # alpha, beta, gamma
    for file in sorted((tree / "beta").rglob("*"), reverse=True):
        file.unlink() if not file.is_dir() else file.rmdir()
    (tree / "beta").rmdir()
    target = tree if form == "templates" else _pack(tree, form, tmp_path)
    result = run("verify", target, "--profile", "python-release", "--artifact", "wheel",
                 "--json")
    assert result.returncode == 1
    document = json.loads(result.stdout)
    assert (document["not_admitted"], document["missing"]) == (["gamma"], ["beta"])
    text = run("verify", target, "--profile", "python-release", "--artifact", "wheel").stdout
    assert "gamma" in text and "beta" in text


def test_a_file_linked_from_outside_the_tree_is_reported(run, tmp_path):
    tree = make_templates(tmp_path / "tpl")
    secret = tmp_path / "outside" / "id_rsa"
    secret.parent.mkdir()
    secret.write_text("key")
    (tree / "alpha" / "key").symlink_to(secret)
    (tree / "alpha" / "inside").symlink_to(tree / "alpha" / "SKILL.md")
    (tree / "gamma" / "other").symlink_to(secret)  # gamma is not admitted: not collected
    document = run_json(run, "verify", tree, "--profile", "binary-minimal", "--artifact",
                        "binary", status=1)
    assert document["outside_links"] == [{"file": str(tree / "alpha" / "key"),
                                          "target": str(secret)}]


@pytest.mark.parametrize("setup, status", [("missing", 1), ("no templates", 2),
                                           ("not an archive", 2), ("bad profile", 2)])
def test_refusals(run, tmp_path, setup, status):
    target = tmp_path / "thing"
    profile = "python-release"
    if setup == "no templates":
        target.mkdir()
    elif setup == "not an archive":
        target.write_text("plain")
    elif setup == "bad profile":
        target = make_templates(tmp_path / "tpl")
        profile = "release"
    result = run("verify", target, "--profile", profile, "--artifact", "wheel")
    assert result.returncode == status and result.stdout == ""
    assert result.stderr.startswith("tarvek-skills: 错误: ")


# The build record ------------------------------------------------------------


def _pruned(tmp_path, profile, artifact, templates_path, name="tpl"):
    """A templates tree pruned for (profile, artifact) with its record."""
    from tarvek.skills import packaging
    from tarvek.skills.build_record import BuildRecord, write_record

    tree = make_templates(tmp_path / name)
    packaging.prune_templates_dir(tree, profile=profile, artifact=artifact,
                                  manifest_templates_dir=tree)
    write_record(tree, BuildRecord(profile, artifact, templates_path, "environment"))
    return tree


def _archive(tree: Path, kind: str, where: str, out: Path) -> Path:
    if kind == "wheel":
        path = out / "mypkg-0.1-py3-none-any.whl"
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("mypkg/__init__.py", "")
            for file in sorted(tree.rglob("*")):
                if file.is_file():
                    archive.write(file, Path(where, file.relative_to(tree)))
    else:
        path = out / "mypkg-0.1.tar.gz"
        with tarfile.open(path, "w:gz") as archive:
            archive.add(tree, f"mypkg-0.1/{where}")
    return path


@pytest.mark.parametrize("kind, where", [("wheel", "mypkg/skills"),
                                         ("sdist", "src/mypkg/skills"),
                                         ("wheel", "tarvek/skills/templates")])
def test_the_record_names_profile_artifact_and_templates(run, tmp_path, kind, where):
    artifact = "wheel" if kind == "wheel" else "sdist"
    tree = _pruned(tmp_path, "python-release", artifact, where)
    document = run_json(run, "verify", _archive(tree, kind, where, tmp_path))
    assert (document["profile"], document["artifact"]) == ("python-release", artifact)
    assert document["templates"] == (where if kind == "wheel" else f"mypkg-0.1/{where}")
    assert document["profile_source"] == document["artifact_source"] == "record"
    assert document["present"] == document["admitted"] == ADMITTED[("python-release", artifact)]
    text = run("verify", _archive(tree, kind, where, tmp_path)).stdout
    assert "profile python-release（构建记录）" in text


def test_an_option_overrides_the_record(run, tmp_path):
    tree = _pruned(tmp_path, "python-release", "wheel", "mypkg/skills")
    wheel = _archive(tree, "wheel", "mypkg/skills", tmp_path)
    document = run_json(run, "verify", wheel, "--profile", "dev", status=1)
    assert (document["profile_source"], document["missing"]) == ("--profile", ["gamma"])
    document = run_json(run, "verify", wheel, "--artifact", "sdist", status=1)
    assert (document["not_admitted"], document["artifact_source"]) == (["beta"], "--artifact")


def test_templates_path_finds_a_tree_without_a_record(run, tmp_path):
    tree = _pruned(tmp_path, "python-release", "wheel", "mypkg/skills")
    (tree / "build-record.json").unlink()
    wheel = _archive(tree, "wheel", "mypkg/skills", tmp_path)
    # Without a record nothing says which profile the wheel was built for.
    result = run("verify", wheel, "--templates-path", "mypkg/skills", "--artifact", "wheel")
    assert result.returncode == 2 and "不知道它的profile" in result.stderr
    assert "请用 --profile 指定" in result.stderr
    document = run_json(run, "verify", wheel, "--templates-path", "mypkg/skills",
                        "--profile", "python-release", "--artifact", "wheel")
    assert document["present"] == ["alpha", "beta"] and document["record"] is None
    # Not there: refused, as is a path that leaves the artifact.
    for path in ("other/skills", "../mypkg/skills", "/mypkg/skills"):
        result = run("verify", wheel, "--templates-path", path, "--profile", "dev",
                     "--artifact", "wheel")
        assert result.returncode == 2, path


def test_two_recorded_trees_need_templates_path(run, tmp_path):
    one = _pruned(tmp_path, "python-release", "wheel", "a/skills", "one")
    two = _pruned(tmp_path, "binary-full", "binary", "b/skills", "two")
    unpacked = tmp_path / "unpacked"
    shutil.copytree(one, unpacked / "a/skills")
    shutil.copytree(two, unpacked / "b/skills")
    result = run("verify", unpacked)
    assert result.returncode == 2 and "a/skills、b/skills" in result.stderr
    document = run_json(run, "verify", unpacked, "--templates-path", "b/skills")
    assert (document["profile"], document["present"]) == ("binary-full", ["alpha", "beta"])


def test_a_broken_record_is_a_manifest_error(run, tmp_path):
    tree = make_templates(tmp_path / "tpl")
    (tree / "build-record.json").write_text('{"format": 1}')
    result = run("verify", tree, "--json")
    assert result.returncode == 2
    assert json.loads(result.stdout)["error"]["kind"] == "manifest"
    assert "构建记录缺少 'profile'" in result.stderr
