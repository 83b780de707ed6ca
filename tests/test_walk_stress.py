"""The tree walks under pressure: a tree changing underneath them, very deep
trees, an interrupt in the middle of a long walk, and other threads running
while it goes on.  Everything here is bounded in time."""

import _thread
import json
import os
import shutil
import signal
import stat
import sys
import threading
import time

import pytest

from conftest import use_path_kind, write
from tarvek.skills import packaging

pytestmark = [pytest.mark.slow, pytest.mark.stress]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    monkeypatch.delenv("TARVEK_SKILL_PROFILE", raising=False)
    monkeypatch.delenv("TARVEK_BUILTIN_TEMPLATES_DIR", raising=False)


def admitting(directory, *names):
    """A manifest directory whose manifest admits only `names` to the wheel."""
    for name in names:
        (directory / name).mkdir(parents=True, exist_ok=True)
    write(directory / "manifest.json",
          json.dumps({"skills": {name: {"wheel": True} for name in names}}))
    return directory


def snapshot(top):
    entries = []
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            mode = os.lstat(full).st_mode
            entries.append((os.path.relpath(full, top), stat.S_IFMT(mode)))
    return sorted(entries)


# Directories swapped for links while the tree is deleted ----------------------

SENTINELS = ["keep.txt", "m.pyc", "x.pyo", ".DS_Store", "__pycache__/q.pyc", "sub/a/f.txt",
             "sub/b/g.pyc", "data/VERSION.json", "SKILL.md"]


def race_tree(root):
    for skill in ["keep", "drop0", "drop1", "drop2"]:
        for relative in ["SKILL.md", "data/VERSION.json", "sub/a/f.txt", "sub/a/g.pyc",
                         "sub/b/h.txt", "__pycache__/m.pyc", "sub/__pycache__/n.pyc",
                         ".DS_Store", "sub/b/deeper/i.txt"]:
            write(root / skill / relative)
    return [str(root / skill / relative)
            for skill in ["drop0", "keep", "drop1", "drop2"]
            for relative in ["sub", "sub/a", "sub/b", "__pycache__", "sub/__pycache__",
                             "sub/b/deeper", "data"]]


def swapping(paths, outside, stop, swaps):
    """Keeps replacing directories by links to `outside` and back."""
    while not stop.is_set():
        for path in paths:
            aside = path + ".aside"
            try:
                os.rename(path, aside)
            except OSError:
                continue
            try:
                os.symlink(outside, path)
                swaps.append(1)
            except OSError:
                pass
            time.sleep(0)
            try:
                if os.path.islink(path):
                    os.unlink(path)
                os.rename(aside, path)
            except OSError:
                pass


RACED = {
    "prune_templates_dir": lambda root, manifest: packaging.prune_templates_dir(
        root, profile="python-release", artifact="wheel", manifest_templates_dir=manifest),
    "_remove_tree": lambda root, manifest: packaging._remove_tree(root),
    "_remove_packaging_junk": lambda root, manifest: packaging._remove_packaging_junk(root),
}


@pytest.mark.parametrize("operation", RACED)
def test_swapped_directories_never_lead_outside(tmp_path, monkeypatch, operation):
    use_path_kind(monkeypatch, "native")
    outside = tmp_path / "outside"
    for relative in SENTINELS:
        write(outside / relative, "sentinel")
    before = snapshot(outside)
    manifest = admitting(tmp_path / "m", "keep")
    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    runs = outcomes = 0
    try:
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            root = tmp_path / "t"
            shutil.rmtree(root, ignore_errors=True)
            paths = race_tree(root)
            stop = threading.Event()
            swaps = []
            swapper = threading.Thread(target=swapping, args=(paths, str(outside), stop, swaps))
            swapper.start()
            try:
                while not swaps and swapper.is_alive():
                    time.sleep(0)
                RACED[operation](root, manifest)
                outcomes += 1
            except OSError:
                pass
            finally:
                stop.set()
                swapper.join(5)
            assert not swapper.is_alive()
            runs += 1
            assert snapshot(outside) == before, f"a file outside the tree was lost (run {runs})"
    finally:
        sys.setswitchinterval(previous_interval)
    assert runs >= 3


# Very deep trees ---------------------------------------------------------------


def deep_chain(top, depth, name="d", leaf_files=("leaf.txt", "x.pyc")):
    """`top` with a chain of `depth` directories below it, made relative to
    directory descriptors so that the length of the full path never matters."""
    os.makedirs(top, exist_ok=True)
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for level in range(depth):
            os.mkdir(name, dir_fd=fd)
            if level % 500 == 250:
                os.close(os.open("f.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.mkdir("__pycache__", dir_fd=fd)
        for leaf in leaf_files:
            os.close(os.open(leaf, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    finally:
        os.close(fd)


@pytest.fixture
def deep_root(tmp_path):
    root = tmp_path / "t"
    yield root
    shutil.rmtree(tmp_path, ignore_errors=True)  # works at any depth


def deep_operation(operation, root, manifest):
    if operation == "_remove_tree":
        packaging._remove_tree(root / "deep")
    else:
        assert packaging.prune_templates_dir(
            root, profile="python-release", artifact="wheel",
            manifest_templates_dir=manifest) == ["keep"]


@pytest.mark.parametrize("operation", ["_remove_tree", "prune_templates_dir"])
@pytest.mark.parametrize("kind, depth", [("native", 3000), ("object", 1500)])
def test_deep_tree_is_removed(deep_root, tmp_path, monkeypatch, kind, depth, operation):
    use_path_kind(monkeypatch, kind)
    deep_chain(deep_root / "deep", depth)
    write(deep_root / "keep" / "SKILL.md")
    manifest = admitting(tmp_path / "m", "keep")
    deep_operation(operation, deep_root, manifest)
    assert sorted(os.listdir(deep_root)) == ["keep"]
    assert os.listdir(deep_root / "keep") == ["SKILL.md"]


# A long walk: interrupts and other threads -----------------------------------

FILES_PER_SKILL = 200
SKILLS = 100


@pytest.fixture(scope="module")
def wide_tree(tmp_path_factory):
    """About 20,000 files in 100 skills, built once for the module.  The
    files are hard links of one empty file, which is much quicker to make."""
    base = tmp_path_factory.mktemp("wide")
    source = base / "empty.md"
    source.touch()
    root = base / "t"
    for index in range(SKILLS):
        for sub in range(10):
            directory = f"{root}/s{index:03d}/part{sub}"
            os.makedirs(directory)
            for number in range(FILES_PER_SKILL // 10):
                os.link(source, f"{directory}/f{number}.md")
    write(root / "manifest.json", json.dumps({"skills": {}}))
    return root


def long_walk(root):
    return packaging.collect_skill_datas(profile="dev", templates_dir=root)


_durations = {}


def walk_duration(kind, root):
    """How long the uninterrupted walk takes on this path (measured once)."""
    if kind not in _durations:
        started = time.monotonic()
        datas = long_walk(root)
        _durations[kind] = time.monotonic() - started
        assert len(datas) == SKILLS * FILES_PER_SKILL + 1
    return _durations[kind]


@pytest.mark.parametrize("kind", ["native", "object"])
def test_interrupt_stops_a_long_walk_quickly(wide_tree, monkeypatch, kind):
    use_path_kind(monkeypatch, kind)
    duration = walk_duration(kind, wide_tree)
    assert duration > 0.005, "the walk is too short to be interrupted"
    armed = True
    sent = []

    def on_interrupt(signum, frame):
        if armed:
            raise KeyboardInterrupt

    def interrupt():
        sent.append(time.monotonic())
        _thread.interrupt_main()

    previous = signal.signal(signal.SIGINT, on_interrupt)
    timer = threading.Timer(duration * 0.3, interrupt)
    caught = None
    try:
        timer.start()
        try:
            long_walk(wide_tree)
        except KeyboardInterrupt:
            caught = time.monotonic()
        finally:
            armed = False
            timer.join(10)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert sent, "the timer never ran"
    assert caught is not None, "the walk finished without seeing the interrupt"
    assert caught - sent[0] < 0.1, f"interrupt seen after {caught - sent[0]:.3f} s"


def test_other_threads_run_during_a_long_native_walk(wide_tree, monkeypatch):
    use_path_kind(monkeypatch, "native")
    duration = walk_duration("native", wide_tree)
    assert duration > 0.005, "the walk is too short to watch"
    stop = threading.Event()
    ticks = []

    def count():
        number = 0
        while not stop.is_set():
            number += 1
            if number % 200 == 0:
                ticks.append(time.monotonic())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        while not ticks:
            time.sleep(0.001)
        started = time.monotonic()
        long_walk(wide_tree)
        ended = time.monotonic()
    finally:
        stop.set()
        counter.join(10)
    margin = (ended - started) * 0.1
    during = [t for t in ticks if started + margin < t < ended - margin]
    assert len(during) >= 2, (
        f"the counting thread made no progress during a {ended - started:.3f} s walk")
