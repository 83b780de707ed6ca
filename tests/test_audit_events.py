"""Audit events of the file-system work, on both paths.

Tools that watch a process through audit hooks must see the same work
whichever path runs: a listing (`os.scandir` or `os.listdir`) of every
directory walked, `os.remove` for every file or link deleted, `os.rmdir` for
every directory removed, and `open` for every manifest and VERSION.json read.
The sets of paths are compared, not the order of the events.
"""

import json
import os

import pytest

from conftest import recording_audit_events, write
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector

pytestmark = pytest.mark.usefixtures("path_kind", "no_tarvek_environment")


def text(value):
    if isinstance(value, int):
        return f"<descriptor {value}>"  # not a path: never matches one
    return os.path.normpath(os.fsdecode(value))


def seen(log, tmp_path):
    """{kind: set of paths} of the recorded events below tmp_path."""
    kinds = {"os.scandir": "listed", "os.listdir": "listed", "os.remove": "removed",
             "os.rmdir": "rmdir", "open": "opened"}
    found = {"listed": set(), "removed": set(), "rmdir": set(), "opened": set()}
    for event, argument in log:
        path = text(argument)
        if path.startswith(str(tmp_path)):
            found[kinds[event]].add(path)
    return found


FILES = ["keep/SKILL.md", "keep/data/VERSION.json", "keep/__pycache__/m.pyc",
         "keep/__pycache__/deeper/n.txt", "keep/x.pyo", "keep/.DS_Store", "keep/sub/ok.md",
         "drop/SKILL.md", "drop/data/VERSION.json", "drop/sub/deep/f.txt", "drop/y.pyc",
         "other/SKILL.md"]
JUNK = ["keep/__pycache__/m.pyc", "keep/__pycache__/deeper/n.txt", "keep/x.pyo",
        "keep/.DS_Store", "drop/y.pyc"]


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "t"
    for relative in FILES:
        write(root / relative)
    write(tmp_path / "outside" / "kept.txt")
    (root / "drop" / "link").symlink_to(tmp_path / "outside")
    (root / "keep" / "filelink").symlink_to(tmp_path / "outside" / "kept.txt")
    write(root / "manifest.json",
          json.dumps({"skills": {"keep": {"wheel": True, "binary_full": True},
                                 "other": {"wheel": True}}}))
    return root


def below(root, *relatives):
    return {str(root.joinpath(*relative.split("/"))) for relative in relatives}


def directories(root, prefix=""):
    """Every real directory at or below root/prefix, links excluded."""
    start = root / prefix if prefix else root
    found = {str(start)}
    for dirpath, dirnames, _ in os.walk(start):
        found.update(os.path.join(dirpath, name) for name in dirnames
                     if not os.path.islink(os.path.join(dirpath, name)))
    return found


def entries(root, prefix):
    """Every file and link below root/prefix (what deleting it removes)."""
    found = set()
    for dirpath, dirnames, filenames in os.walk(root / prefix):
        found.update(os.path.join(dirpath, name) for name in filenames)
        found.update(os.path.join(dirpath, name) for name in dirnames
                     if os.path.islink(os.path.join(dirpath, name)))
    return found


def test_remove_tree_events(tree, tmp_path):
    expected_dirs = directories(tree, "drop")
    expected_removed = entries(tree, "drop")
    with recording_audit_events() as log:
        packaging._remove_tree(tree / "drop")
    got = seen(log, tmp_path)
    assert got["listed"] == expected_dirs
    assert got["removed"] == expected_removed
    assert got["rmdir"] == expected_dirs
    assert got["opened"] == set()


def test_junk_removal_events(tree, tmp_path):
    expected_dirs = directories(tree)
    with recording_audit_events() as log:
        packaging._remove_packaging_junk(tree)
    got = seen(log, tmp_path)
    assert got["listed"] == expected_dirs
    assert got["removed"] == below(tree, *JUNK)
    assert got["rmdir"] == below(tree, "keep/__pycache__", "keep/__pycache__/deeper")
    assert got["opened"] == set()


def test_prune_events(tree, tmp_path):
    expected_dirs = directories(tree)
    dropped = entries(tree, "drop") - below(tree, "drop/y.pyc")
    with recording_audit_events() as log:
        assert packaging.prune_templates_dir(
            tree, profile="python-release", artifact="wheel",
            manifest_templates_dir=tree) == ["keep", "other"]
    got = seen(log, tmp_path)
    assert got["listed"] == expected_dirs
    assert got["removed"] == below(tree, *JUNK) | dropped
    assert got["rmdir"] == below(tree, "keep/__pycache__", "keep/__pycache__/deeper", "drop",
                                 "drop/data", "drop/sub", "drop/sub/deep")
    assert got["opened"] == below(tree, "manifest.json")


def test_reading_events(tree, tmp_path):
    with recording_audit_events() as log:
        packaging.collect_skill_datas(profile="binary-full", templates_dir=tree)
    got = seen(log, tmp_path)
    assert got["listed"] == {str(tree)} | directories(tree, "keep")
    assert got["opened"] == below(tree, "manifest.json")
    assert got["removed"] == got["rmdir"] == set()

    for call in [lambda: packaging.validate_release_manifest(tree),
                 lambda: packaging.selected_skill_names(profile="python-release",
                                                        artifact="wheel", templates_dir=tree)]:
        with recording_audit_events() as log:
            call()
        got = seen(log, tmp_path)
        assert got["listed"] == {str(tree)}
        assert got["opened"] == below(tree, "manifest.json")
        assert got["removed"] == got["rmdir"] == set()


def test_discovery_events(tree, tmp_path, home):
    write(tree / "keep" / "data" / "VERSION.json", '{"version": "1"}')
    write(tree / "drop" / "data" / "VERSION.json", "{broken")
    claude = home / ".claude" / "skills"
    write(claude / "mine" / "data" / "VERSION.json", '{"version": "2"}')
    (claude / "bare" / "data").mkdir(parents=True)
    with recording_audit_events() as log:
        records = SkillDetector().discover(str(tree), cwd=tmp_path)
    assert [r.name for r in records] == ["keep", "bare", "mine"]
    got = seen(log, tmp_path)
    assert got["listed"] == {str(tree), str(claude)}
    assert got["opened"] == below(tree, "keep/data/VERSION.json", "drop/data/VERSION.json") | {
        str(claude / "mine" / "data" / "VERSION.json")}
    assert got["removed"] == got["rmdir"] == set()
