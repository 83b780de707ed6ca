"""Crash-safe staging: the one way install, update and remove change a
skills directory.

A run stages its work inside the skills directory it changes, in the hidden
directory `.tarvek-staging`, so that every rename is on one file system and
atomic.  Discovery examines every immediate subdirectory of a skills
directory, hidden ones included, but only reports one that holds an entry
`data`; `.tarvek-staging` never holds one, so nothing staged is ever listed.

    .tarvek-staging/<pid>-<random>/
        lock       held with flock(LOCK_EX) for the run's whole life
        run.json   {"tool": "tarvek-skills", "format": 1, "run": "<pid>-<random>",
                    "name": NAME}: the marker that proves the directory ours
        new        the staged copy (or a staged symbolic link)
        old        the parked previous copy, only between the two renames
                   of the fallback replacement
        trash      what was replaced or removed, waiting to be deleted

A run directory is born under a hidden name (`.init-<pid>-<random>`) and
renamed into place only once its lock is held and its marker written, so a
directory with a run name whose lock can be taken belongs to a dead run.

Only what this tool can prove it made is ever deleted: a run directory whose
marker names it, or a `.init-` directory of a dead process that holds
nothing but the tool's own lock and marker.  Anything else, including
directories that merely look like leftovers by their names (`.NAME.tmp-*`,
`.NAME.old-*` beside a skill, as older versions of this tool left them),
is reported by `doctor` and left alone.  Clearing a dead run puts a parked
`old` back when the destination is missing, and deletes the rest; deletion
never follows a symbolic link out of the tree.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import json
import os
import re
import secrets
import shutil
import signal
import stat
from dataclasses import dataclass
from pathlib import Path

from .common import packaging, single_name
from .i18n import _

STAGING = ".tarvek-staging"
RUN_JSON = "run.json"
LOCK = "lock"

TOOL = "tarvek-skills"
FORMAT = 1

_RUN_NAME = re.compile(r"[0-9]+-[0-9a-f]{16}")
_INIT_NAME = re.compile(r"\.init-(([0-9]+)-[0-9a-f]{16})")
# The names an older version of the command gave its temporary and parked
# copies beside the destination (tempfile.mkdtemp(prefix=".NAME.tmp-") and
# ".NAME.old-").  A name proves nothing: such directories are only reported.
_LEGACY_NAME = re.compile(r"\.(.+)\.(tmp|old)-[a-z0-9_]{8}")

_CRITICAL_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name)}


@contextlib.contextmanager
def signals_held():
    """Hold back Ctrl-C, SIGTERM and SIGHUP: a signal arriving meanwhile is
    delivered when the block ends, so it cannot cut a rename pair or a
    clean-up in half."""
    try:
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, _CRITICAL_SIGNALS)
    except (AttributeError, ValueError, OSError):
        yield
        return
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


# --------------------------------------------------------------------------
# renameat2 through libc

_AT_FDCWD = -100
RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2
_UNSUPPORTED = {errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP}
_libc_renameat2 = None


def _load_renameat2():
    global _libc_renameat2
    if _libc_renameat2 is None:
        function = False
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            function = libc.renameat2
            function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                 ctypes.c_uint]
            function.restype = ctypes.c_int
        except (OSError, AttributeError):
            function = False
        _libc_renameat2 = function
    return _libc_renameat2


def renameat2(src: Path, dst: Path, flags: int) -> bool:
    """rename(2) with `flags`; False when the system cannot do it (no such
    call, or a file system without support), an OSError for a real failure."""
    function = _load_renameat2()
    if not function:
        return False
    if function(_AT_FDCWD, os.fsencode(src), _AT_FDCWD, os.fsencode(dst), flags) == 0:
        return True
    code = ctypes.get_errno()
    if code in _UNSUPPORTED:
        return False
    raise OSError(code, os.strerror(code), str(src), None, str(dst))


def exists_error(dest: Path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, _("Skill 已存在（用 --force 替换）"), str(dest))


def rename_fresh(src: Path, dst: Path) -> None:
    """Rename `src` to a destination that must not exist."""
    if renameat2(src, dst, RENAME_NOREPLACE):
        return
    if os.path.lexists(dst):
        raise exists_error(dst)
    os.rename(src, dst)


# --------------------------------------------------------------------------
# Deletion


def delete(path: Path) -> None:
    """Delete `path`: a link or a file is unlinked (a link's target is never
    touched), a directory is deleted with the packaging module's link-safe
    tree removal."""
    if os.path.islink(path) or not os.path.isdir(path):
        os.unlink(path)
    else:
        packaging()._remove_tree(Path(path))


def _delete_if_present(path: Path) -> None:
    try:
        delete(path)
    except FileNotFoundError:
        if os.path.lexists(path):
            raise


def _rmdir_if_empty(path: Path) -> None:
    try:
        path.rmdir()
    except OSError:
        pass


# --------------------------------------------------------------------------
# Leftovers of dead runs


@dataclass(frozen=True)
class Leftover:
    path: Path  # the run directory
    kind: str  # "staging"
    restores: Path | None  # the destination a parked copy would be restored to, else None


@dataclass(frozen=True)
class Stranger:
    """A directory that looks like a leftover but that this tool cannot
    prove it made: reported, never deleted."""

    path: Path
    reason: str  # "legacy-name" or "unproven-staging"


@contextlib.contextmanager
def _dead_run_lock(run_dir: Path):
    """Yield whether the lock of `run_dir` could be taken, holding it
    meanwhile: True for a dead run (a missing lock file counts as free, since
    a run directory only gets its name with the lock held), False while a
    live run, or another run clearing this one, holds it."""
    try:
        fd = os.open(run_dir / LOCK, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
                     | getattr(os, "O_NONBLOCK", 0))
    except FileNotFoundError:
        yield True
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            yield False
        else:
            yield True
    finally:
        os.close(fd)  # closing releases a lock taken here


def _lock_is_free(run_dir: Path) -> bool:
    with _dead_run_lock(run_dir) as free:
        return free


def _pid_alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _marker(ident: str, name: str) -> str:
    return json.dumps({"tool": TOOL, "format": FORMAT, "run": ident, "name": name})


def _marked_name(run_dir: Path, ident: str) -> str | None:
    """The skill name in the marker of `run_dir`, if the marker is this
    tool's and names this very run; else None."""
    path = run_dir / RUN_JSON
    try:
        info = os.lstat(path)
        if not stat.S_ISREG(info.st_mode) or info.st_size > 1 << 16:
            return None
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or data.get("tool") != TOOL or data.get("run") != ident:
        return None
    name = data.get("name")
    return name if single_name(name) and name != STAGING else None


def _only_our_files(run_dir: Path, ident: str) -> bool:
    """Whether a `.init-` directory holds nothing but what `RunDir.open`
    puts there before its marker: an empty lock file, and the marker."""
    try:
        names = os.listdir(run_dir)
        for name in names:
            if name == LOCK:
                info = os.lstat(run_dir / LOCK)
                if not stat.S_ISREG(info.st_mode) or info.st_size:
                    return False
            elif name != RUN_JSON or _marked_name(run_dir, ident) is None:
                return False
    except OSError:
        return False
    return True


def _real_dir(path: Path) -> bool:
    return path.is_dir() and not path.is_symlink()


def _staging_entries(skills_dir: Path) -> list[Path]:
    staging = skills_dir / STAGING
    if not _real_dir(staging):
        return []
    try:
        return sorted(staging.iterdir())
    except OSError:
        return []


def find_leftovers(skills_dir: Path) -> list[Leftover]:
    """What dead runs left in `skills_dir` and this tool can prove it made;
    a live run's directory is never among them.  Nothing is changed."""
    skills_dir = Path(skills_dir)
    found: list[Leftover] = []
    for entry in _staging_entries(skills_dir):
        if not _real_dir(entry):
            continue
        init = _INIT_NAME.fullmatch(entry.name)
        if init is not None:
            if not _pid_alive(int(init.group(2))) and _only_our_files(entry, init.group(1)):
                found.append(Leftover(entry, "staging", None))
            continue
        if not _RUN_NAME.fullmatch(entry.name):
            continue
        name = _marked_name(entry, entry.name)
        if name is None or not _lock_is_free(entry):
            continue
        restores = None
        if os.path.lexists(entry / "old") and not os.path.lexists(skills_dir / name):
            restores = skills_dir / name
        found.append(Leftover(entry, "staging", restores))
    return found


def find_strangers(skills_dir: Path) -> list[Stranger]:
    """Directories that look like leftovers of an interrupted run but are
    not proven ours: in the staging directory, those without this tool's
    marker (a live run's excepted); beside the skills, those named as older
    versions named their temporary and parked copies."""
    skills_dir = Path(skills_dir)
    proven = {leftover.path for leftover in find_leftovers(skills_dir)}
    found = []
    for entry in _staging_entries(skills_dir):
        if entry in proven:
            continue
        init = _INIT_NAME.fullmatch(entry.name)
        if init is not None and _pid_alive(int(init.group(2))):
            continue
        if _RUN_NAME.fullmatch(entry.name) and _real_dir(entry) and not _lock_is_free(entry):
            continue
        found.append(Stranger(entry, "unproven-staging"))
    try:
        entries = sorted(skills_dir.iterdir())
    except OSError:
        entries = []
    for entry in entries:
        if _LEGACY_NAME.fullmatch(entry.name) and _real_dir(entry):
            found.append(Stranger(entry, "legacy-name"))
    return found


def clear_leftover(leftover: Leftover) -> None:
    """Put a parked copy back where it is missing, then delete the run
    directory, if it is still a dead run of ours."""
    path = Path(leftover.path)
    with signals_held(), _dead_run_lock(path) as free:
        if not free:
            return  # taken over meanwhile: another run is clearing it
        if leftover.restores is not None and not os.path.lexists(leftover.restores):
            parked = path / "old"
            if os.path.lexists(parked):
                rename_fresh(parked, leftover.restores)
        _delete_if_present(path)
        _rmdir_if_empty(path.parent)


def clear_leftovers(skills_dir: Path) -> list[Leftover]:
    cleared = find_leftovers(skills_dir)
    for leftover in cleared:
        clear_leftover(leftover)
    return cleared


# --------------------------------------------------------------------------
# A run


def make_dirs(path: Path) -> list[Path]:
    """Create `path` and its missing parents; return those this call created
    (not those another process made meanwhile), deepest first."""
    missing = []
    probe = Path(path)
    while not os.path.lexists(probe) and probe.parent != probe:
        missing.append(probe)
        probe = probe.parent
    created = []
    for directory in reversed(missing):
        try:
            os.mkdir(directory)
        except FileExistsError:
            if not os.path.isdir(directory):
                _raise_if_gone(directory)
                raise
            continue
        created.append(directory)
    return created[::-1]


def _raise_if_gone(path: Path) -> None:
    """After mkdir found `path` there: if another run has removed it since
    (it removes the staging and skills directories it made once they are
    empty), say so as FileNotFoundError, which the set-up tries again."""
    if not os.path.lexists(path):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(path))


# How often a run tries again to set up its run directory when another run
# removes the (then empty) staging or skills directory under it.
_SETUP_ATTEMPTS = 100


class RunDir:
    """One run directory: the staged change of one skill in one skills directory."""

    def __init__(self, staging: "Staging", skills_dir: Path, name: str):
        self.staging = staging
        self.skills_dir = Path(skills_dir)
        self.name = name
        self.dest = self.skills_dir / name
        self.path: Path | None = None
        self.lock_fd: int | None = None
        self.committed = False
        self.replaced = False  # the destination held something before the commit
        self.created: list[Path] = []  # directories made for the skills directory

    @property
    def new(self) -> Path:
        return self.path / "new"

    @property
    def old(self) -> Path:
        return self.path / "old"

    @property
    def trash(self) -> Path:
        return self.path / "trash"

    def open(self) -> None:
        """Set up the run directory, with its lock held and its marker
        written.  Another run that ends meanwhile removes the staging
        directory (and a skills directory it created) once they are empty:
        then they are made again."""
        for attempt in range(_SETUP_ATTEMPTS):
            try:
                self._open()
                return
            except FileNotFoundError:
                self._discard_init()
                if attempt == _SETUP_ATTEMPTS - 1:
                    raise

    def _open(self) -> None:
        made = make_dirs(self.skills_dir)
        self.created.extend(made)
        self.staging.created.extend(made)
        staging_dir = self.skills_dir / STAGING
        try:
            staging_dir.mkdir()
            self.staging.created.append(staging_dir)
        except FileExistsError:
            if not _real_dir(staging_dir):
                _raise_if_gone(staging_dir)
                raise
        ident = f"{os.getpid()}-{secrets.token_hex(8)}"
        init = staging_dir / f".init-{ident}"
        init.mkdir(mode=0o700)
        self.path = init
        self.lock_fd = os.open(init / LOCK, os.O_RDWR | os.O_CREAT | os.O_EXCL
                               | getattr(os, "O_CLOEXEC", 0), 0o600)
        fcntl.flock(self.lock_fd, fcntl.LOCK_EX)
        (init / RUN_JSON).write_text(_marker(ident, self.name), encoding="utf-8")
        final = staging_dir / ident
        os.rename(init, final)
        self.path = final

    def _discard_init(self) -> None:
        if self.lock_fd is not None:
            os.close(self.lock_fd)
            self.lock_fd = None
        if self.path is not None:
            for name in (LOCK, RUN_JSON):
                try:
                    os.unlink(self.path / name)
                except OSError:
                    pass
            _rmdir_if_empty(self.path)
            self.path = None

    def stage_copy(self, source: Path) -> None:
        """Copy `source` as `new`, links as links (a prepared copy holds
        only links that stay inside it), without the packaging junk that a
        release build leaves out (bytecode, its caches, Finder metadata):
        the packaging module removes it from the copy, by its own rule."""
        shutil.copytree(source, self.new, symlinks=True, copy_function=shutil.copy2)
        packaging()._remove_packaging_junk(self.new)

    def digest(self) -> str:
        """The content digest of the staged copy."""
        from .tree import digest

        return digest(self.new)

    def stage_link(self, target: Path) -> None:
        os.symlink(target, self.new, target_is_directory=True)

    def commit(self, force: bool) -> None:
        """Put `new` in place of the destination.  An existing destination is
        never absent for a moment where the system can exchange the two;
        otherwise it is parked as `old` and put back if the second rename
        fails."""
        with signals_held():
            if not os.path.lexists(self.dest):
                rename_fresh(self.new, self.dest)
                self.committed = True
                return
            if not force:
                raise exists_error(self.dest)
            if renameat2(self.new, self.dest, RENAME_EXCHANGE):
                # `new` now holds the previous copy, deleted with the run.
                self.committed = self.replaced = True
                return
            os.rename(self.dest, self.old)
            try:
                os.rename(self.new, self.dest)
            except BaseException:
                os.rename(self.old, self.dest)
                raise
            self.committed = self.replaced = True
            # Out of `old`, so that a run killed while deleting it is never
            # mistaken for one killed between the two renames.
            os.rename(self.old, self.trash)

    def take_away(self) -> None:
        """Move the destination into this run directory, to be deleted."""
        with signals_held():
            os.rename(self.dest, self.trash)
            self.committed = True

    def finish(self) -> None:
        """Delete the run directory and what it holds, then give up the lock."""
        if self.path is None:
            return
        with signals_held():
            try:
                for entry in sorted(self.path.iterdir(), key=lambda p: p.name == LOCK):
                    _delete_if_present(entry)
                self.path.rmdir()
            except FileNotFoundError:
                if os.path.lexists(self.path):
                    raise
            finally:
                if self.lock_fd is not None:
                    os.close(self.lock_fd)
                    self.lock_fd = None
            _rmdir_if_empty(self.path.parent)
            self.path = None

    def abort(self) -> None:
        """After a failure before or during the commit: the old copy is where
        it was (or, if the second rename and the putting back both failed,
        stays parked in `old` for the next run to restore), everything
        staged is deleted."""
        if self.path is None:
            return
        if os.path.lexists(self.old) and not os.path.lexists(self.dest):
            try:
                rename_fresh(self.old, self.dest)
            except OSError:
                # Keep the run directory: the next run restores `old`.
                if self.lock_fd is not None:
                    os.close(self.lock_fd)
                    self.lock_fd = None
                self.path = None
                return
        self.finish()


class Staging:
    """The run directories of one command run.

    As a context manager: on success every run directory is deleted; on a
    failure or an interruption everything staged is deleted as well, and the
    directories this run created are removed if they are still empty.  The
    clean-up runs with Ctrl-C, SIGTERM and SIGHUP held back."""

    def __init__(self):
        self.runs: list[RunDir] = []
        self.created: list[Path] = []

    def run(self, skills_dir: Path, name: str) -> RunDir:
        run = RunDir(self, skills_dir, name)
        self.runs.append(run)
        run.open()
        return run

    def __enter__(self) -> "Staging":
        return self

    def __exit__(self, exc_type, exc, tb) -> bool:
        with signals_held():
            if exc_type is None:
                for run in self.runs:
                    run.finish()
                return False
            for run in self.runs:
                try:
                    if run.committed:
                        run.finish()
                    else:
                        run.abort()
                except OSError:
                    pass  # the first error is the one to report
            for directory in sorted(self.created, key=lambda p: len(p.parts), reverse=True):
                _rmdir_if_empty(directory)
        return False
