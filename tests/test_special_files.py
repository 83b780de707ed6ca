"""Manifests and VERSION.json files that are not regular files, or too big.

A FIFO would block a plain read forever and a character device such as
/dev/zero never ends, so every case runs in a child interpreter that is killed
when it takes too long or grows too big.  The child binds the modules' `Path`
for the path under test, runs one operation and reports its outcome as JSON.
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

MANIFEST_NOT_REGULAR = "Skill 发版清单不是普通文件: "
MANIFEST_TOO_BIG = "Skill 发版清单超过 64 MiB: "
MANIFEST_INVALID = "Skill 发版清单 JSON 无效: "
MANIFEST_LIMIT = 64 * 1024 * 1024
VERSION_LIMIT = 1024 * 1024
LOGGER = "tarvek.skills.detector"

CHILD = r"""
import json, logging, os, pathlib, sys
import tarvek.skills.discovery.detector as detector
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector

class ObjectPath(pathlib.Path):
    pass

if sys.argv[1] == "object":
    packaging.Path = detector.Path = ObjectPath
operation, target = sys.argv[2], pathlib.Path(sys.argv[3])
logged = []

class Keep(logging.Handler):
    def emit(self, record):
        logged.append(record)

logger = logging.getLogger(%(logger)r)
logger.setLevel(logging.DEBUG)
logger.addHandler(Keep())
print("ready", flush=True)
try:
    if operation == "load":
        value = packaging.load_release_manifest(target)
    elif operation == "validate":
        value = packaging.validate_release_manifest(target)
    else:
        value = [[r.name, r.version] for r in SkillDetector().discover(str(target))]
except Exception as exc:
    result = {"raised": type(exc).__name__, "args": [str(a) for a in exc.args],
              "manifest_error": isinstance(exc, packaging.SkillReleaseManifestError),
              "cause": type(exc.__cause__).__name__}
else:
    result = {"returned": value if operation == "discover" else repr(value)[:200]}
result["logged"] = [
    {"level": r.levelno, "msg": r.msg, "path": str(r.args[0]),
     "path_is_path": isinstance(r.args[0], pathlib.Path),
     "exception": isinstance(r.args[1], Exception)}
    for r in logged]
print(json.dumps(result), flush=True)
""" % {"logger": LOGGER}


def rss_bytes(pid):
    try:
        with open(f"/proc/{pid}/statm") as handle:
            return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def run_guarded(kind, operation, target, seconds=3.0, memory=1 << 30):
    """Runs the operation in a child; {"hung": ...} when it had to be killed."""
    with tempfile.TemporaryFile() as errors:
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, kind, operation, str(target)],
            stdout=subprocess.PIPE, stderr=errors, stdin=subprocess.DEVNULL, text=True)
        lines = []
        ready = threading.Event()

        def read():
            for line in child.stdout:
                lines.append(line)
                ready.set()
            ready.set()

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        try:
            # Starting the interpreter may be slow (sanitizers); the clock for
            # the operation itself starts once the child is ready.
            assert ready.wait(120), "the child never started"
            deadline = time.monotonic() + seconds
            while child.poll() is None:
                if time.monotonic() > deadline:
                    return {"hung": f"still running after {seconds} s"}
                if rss_bytes(child.pid) > memory:
                    return {"hung": "kept growing past the memory bound"}
                time.sleep(0.01)
        finally:
            if child.poll() is None:
                child.kill()
            child.wait()
            reader.join(10)
        errors.seek(0)
        assert child.returncode == 0, errors.read().decode(errors="replace")
        assert lines and lines[0] == "ready\n" and len(lines) == 2, lines
        return json.loads(lines[1])


def padded(path, text, size):
    """A regular file of `size` bytes: valid JSON `text` followed by blanks."""
    with open(path, "wb") as handle:
        handle.write(text.encode())
        handle.write(b" " * (size - len(text.encode())))
    assert path.stat().st_size == size


def make_special(path, kind, monkeypatch, limit=0, text=""):
    """Puts an entry of the given kind at `path`; "over-limit" is a regular
    file of valid JSON one byte larger than `limit`."""
    if kind == "fifo":
        os.mkfifo(path)
    elif kind in ("/dev/zero", "/dev/null"):
        path.symlink_to(kind)
    elif kind == "socket":
        # Socket addresses are short: bind by a relative name.
        monkeypatch.chdir(path.parent)
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(path.name)
    elif kind == "over-limit":
        padded(path, text, limit + 1)
    elif kind == "directory":
        path.mkdir()
    else:
        raise ValueError(kind)


NOT_REGULAR = ["fifo", "/dev/zero", "/dev/null", "socket"]


@pytest.mark.parametrize("operation", ["load", "validate"])
@pytest.mark.parametrize("special", NOT_REGULAR + ["over-limit"])
@pytest.mark.parametrize("kind", ["native", "object"])
def test_manifest_that_is_no_regular_file(tmp_path, monkeypatch, kind, special, operation):
    root = tmp_path / "t"
    (root / "a").mkdir(parents=True)
    manifest = root / "manifest.json"
    make_special(manifest, special, monkeypatch, MANIFEST_LIMIT, '{"skills": {}}')
    # Reading a file of 64 MiB may take a while under sanitizers; none of the
    # others reads more than a few bytes.
    result = run_guarded(kind, operation, root, seconds=30 if special == "over-limit" else 3)
    message = MANIFEST_TOO_BIG if special == "over-limit" else MANIFEST_NOT_REGULAR
    assert result == {"raised": "SkillReleaseManifestError", "args": [message + str(manifest)],
                      "manifest_error": True, "cause": "NoneType", "logged": []}


@pytest.mark.parametrize("kind", ["native", "object"])
def test_manifest_at_the_size_limit_is_read(tmp_path, kind):
    root = tmp_path / "t"
    root.mkdir()
    padded(root / "manifest.json", '{"skills": {"a": {}}}', MANIFEST_LIMIT)
    result = run_guarded(kind, "load", root, seconds=30)
    assert result == {"returned": "{'skills': {'a': {}}}", "logged": []}
    # Sparse (all NUL bytes) at the limit: read, then refused as JSON.
    os.truncate(root / "manifest.json", 0)
    os.truncate(root / "manifest.json", MANIFEST_LIMIT)
    result = run_guarded(kind, "load", root, seconds=30)
    assert result == {"raised": "SkillReleaseManifestError",
                      "args": [MANIFEST_INVALID + str(root / "manifest.json")],
                      "manifest_error": True, "cause": "JSONDecodeError", "logged": []}


@pytest.mark.parametrize("kind", ["native", "object"])
def test_manifest_directory_keeps_the_read_error(tmp_path, monkeypatch, kind):
    root = tmp_path / "t"
    root.mkdir()
    make_special(root / "manifest.json", "directory", monkeypatch, 0)
    result = run_guarded(kind, "load", root)
    assert result["raised"] == "IsADirectoryError" and not result["manifest_error"]


def skills_with(root, special, monkeypatch):
    good = root / "a-good" / "data"
    good.mkdir(parents=True)
    (good / "VERSION.json").write_text('{"version": "1"}')
    (root / "special" / "data").mkdir(parents=True)
    (root / "z-bare" / "data").mkdir(parents=True)
    version_file = root / "special" / "data" / "VERSION.json"
    make_special(version_file, special, monkeypatch, VERSION_LIMIT, '{"version": "big"}')
    return version_file


@pytest.mark.parametrize("special", NOT_REGULAR + ["over-limit", "directory"])
@pytest.mark.parametrize("kind", ["native", "object"])
def test_version_file_that_is_no_regular_file_is_skipped(tmp_path, monkeypatch, kind,
                                                         special):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("TARVEK_SKILLS_DIR", raising=False)
    root = tmp_path / "skills"
    version_file = skills_with(root, special, monkeypatch)
    result = run_guarded(kind, "discover", root)
    assert result == {
        "returned": [["a-good", "1"], ["z-bare", "v0.0.0"]],
        "logged": [{"level": 10, "msg": "跳过损坏的 VERSION.json: %s [%s]",
                    "path": str(version_file), "path_is_path": True, "exception": True}]}


@pytest.mark.parametrize("kind", ["native", "object"])
def test_version_file_at_the_size_limit_is_read(tmp_path, monkeypatch, kind):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv("TARVEK_SKILLS_DIR", raising=False)
    root = tmp_path / "skills"
    version_file = root / "s" / "data" / "VERSION.json"
    version_file.parent.mkdir(parents=True)
    padded(version_file, '{"version": "big"}', VERSION_LIMIT)
    assert run_guarded(kind, "discover", root) == {"returned": [["s", "big"]], "logged": []}
