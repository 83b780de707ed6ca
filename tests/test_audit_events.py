"""Audit events of the file-system work, on both paths.

Tools that watch a process through audit hooks must see the same work
whichever path runs: a listing (`os.scandir` or `os.listdir`) of every
directory walked, `os.remove` for every file or link deleted, `os.rmdir` for
every directory removed, and `open` for every manifest and VERSION.json read.
The sets of paths are compared, not the order of the events.
"""

import json
import os
import sys
from pathlib import Path

import pytest

from conftest import AUDITED, PATH_KINDS, recording_audit_events, use_path_kind, write
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector

pytestmark = pytest.mark.usefixtures("no_tarvek_environment")


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


@pytest.mark.usefixtures("path_kind")
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


@pytest.mark.usefixtures("path_kind")
def test_junk_removal_events(tree, tmp_path):
    expected_dirs = directories(tree)
    with recording_audit_events() as log:
        packaging._remove_packaging_junk(tree)
    got = seen(log, tmp_path)
    assert got["listed"] == expected_dirs
    assert got["removed"] == below(tree, *JUNK)
    assert got["rmdir"] == below(tree, "keep/__pycache__", "keep/__pycache__/deeper")
    assert got["opened"] == set()


@pytest.mark.usefixtures("path_kind")
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


@pytest.mark.usefixtures("path_kind")
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


@pytest.mark.usefixtures("path_kind")
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


# The events themselves, in order ------------------------------------------------
#
# pathlib's own events ("pathlib.Path.rglob" and "pathlib.Path.glob" with the
# path and pattern), and os.scandir with the text the globber hands it (the
# root with a trailing slash, each directory twice for "*"), then the events
# of the steps in the order the steps make them.

_sequence = None
SEQUENCED = AUDITED | {"pathlib.Path.glob", "pathlib.Path.rglob"}


def _sequence_hook(event, args):
    log = _sequence
    if log is not None and event in SEQUENCED:
        log.append((event, tuple(("Path", str(a)) if isinstance(a, os.PathLike) else a
                                 for a in args)))


sys.addaudithook(_sequence_hook)


def events_of(run):
    global _sequence
    _sequence = []
    try:
        run()
    finally:
        log, _sequence = _sequence, None
    return log


SEQUENCE_OPERATIONS = {
    "prune": lambda t: packaging.prune_templates_dir(
        t, profile="python-release", artifact="wheel", manifest_templates_dir=t),
    "collect": lambda t: packaging.collect_skill_datas(profile="binary-full", templates_dir=t),
    "validate": lambda t: packaging.validate_release_manifest(t),
    "discover": lambda t: SkillDetector().discover(str(t), cwd=t),
    "_remove_tree": lambda t: packaging._remove_tree(t / "drop"),
}


@pytest.mark.parametrize("relative", [False, True], ids=["absolute", "dot"])
@pytest.mark.parametrize("operation", SEQUENCE_OPERATIONS)
def test_both_paths_raise_the_same_events_in_the_same_order(tmp_path, monkeypatch, home,
                                                             operation, relative):
    logs = {}
    for kind in PATH_KINDS:
        base = tmp_path / kind
        root = build_tree(base)
        if relative:
            monkeypatch.chdir(root)
            root = Path(".")
        with pytest.MonkeyPatch.context() as patch:
            use_path_kind(patch, kind)
            log = events_of(lambda: SEQUENCE_OPERATIONS[operation](root))
        logs[kind] = [(event, tuple(("Path", a[1].replace(str(base), "<base>")) if
                                    isinstance(a, tuple) else
                                    a.replace(str(base), "<base>") if isinstance(a, str) else a
                                    for a in args)) for event, args in log]
    native, objects = (logs[kind] for kind in PATH_KINDS)
    assert native == objects
    assert native, "no event at all"


def build_tree(base):
    root = base / "t"
    for relative in FILES:
        write(root / relative)
    (root / "drop" / "sub" / "__pycache__").mkdir(parents=True)
    write(root / "keep" / "data" / "VERSION.json", '{"version": "1"}')
    write(base / "outside" / "kept.txt")
    (root / "drop" / "link").symlink_to(base / "outside")
    write(root / "manifest.json",
          json.dumps({"skills": {"keep": {"wheel": True, "binary_full": True},
                                 "other": {"wheel": True}}}))
    return root
