"""`tarvek-skills verify` on built artifacts and templates trees."""

import json
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
