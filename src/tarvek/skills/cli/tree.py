"""Walking a directory tree without a depth limit, and the content digest of
a skill directory.

`walk` lists a tree relative to open directory descriptors: it never builds
a path longer than one name for a system call, so a tree thousands of levels
deep is walked like a flat one, and it keeps at most two descriptors open,
whatever the depth.  It goes back up through "..", checking that it arrives
where it came from, and never follows a symbolic link.

`digest` names the content of a tree: every entry's relative path, its kind
and its content (a file's bytes, a link's target as text, never followed),
in one canonical order, so that the same tree gives the same digest on any
machine.  Permissions, owners and times are left out: a copy made by another
user or with another umask is the same skill."""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path
from typing import Iterator, NamedTuple

from .i18n import _

_DIR_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0)
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)

DIR, FILE, LINK, OTHER = "dir", "file", "link", "other"


def kind_of(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return DIR
    if stat.S_ISREG(mode):
        return FILE
    if stat.S_ISLNK(mode):
        return LINK
    return OTHER


class Entry(NamedTuple):
    """One entry below the root.  `dir_fd` and `name` reach it from its
    directory; the descriptor is valid only until the walk goes on."""

    parts: tuple[str, ...]
    kind: str
    stat: os.stat_result
    dir_fd: int
    name: str

    def relative(self) -> str:
        return "/".join(self.parts)


def _names(fd: int) -> list[str]:
    # os.listdir duplicates the descriptor, so `fd` stays open and ours.
    return sorted(os.listdir(fd), key=os.fsencode)


def _moved(parts: tuple[str, ...]) -> OSError:
    return OSError(errno.ESTALE, _("遍历时目录被移动或替换"), "/".join(parts) or ".")


def walk(root: Path) -> Iterator[Entry]:
    """Every entry below `root` (the root itself excluded; a link as the root
    is followed), depth first, a directory before its contents, names in the
    order of their bytes.  Links are reported, never followed."""
    fd = os.open(root, _DIR_FLAGS)
    try:
        top = os.fstat(fd)
        # One frame per directory being listed: its identity and the names left.
        stack = [((top.st_dev, top.st_ino), iter(_names(fd)))]
        parts: list[str] = []
        while stack:
            identity, names = stack[-1]
            name = next(names, None)
            if name is None:
                stack.pop()
                if not stack:
                    break
                parent = os.open("..", _DIR_FLAGS, dir_fd=fd)
                os.close(fd)
                fd = parent
                seen = os.fstat(fd)
                if (seen.st_dev, seen.st_ino) != stack[-1][0]:
                    raise _moved(tuple(parts))
                parts.pop()
                continue
            try:
                info = os.stat(name, dir_fd=fd, follow_symlinks=False)
            except FileNotFoundError:
                continue  # gone since the listing
            kind = kind_of(info.st_mode)
            entry_parts = (*parts, name)
            yield Entry(entry_parts, kind, info, fd, name)
            if kind != DIR:
                continue
            try:
                child = os.open(name, _DIR_FLAGS | _NOFOLLOW, dir_fd=fd)
            except FileNotFoundError:
                continue
            seen = os.fstat(child)
            if (seen.st_dev, seen.st_ino) != (info.st_dev, info.st_ino):
                os.close(child)
                raise _moved(entry_parts)
            try:
                names_below = _names(child)
            except BaseException:
                os.close(child)
                raise
            os.close(fd)
            fd = child
            parts.append(name)
            stack.append(((info.st_dev, info.st_ino), iter(names_below)))
    finally:
        os.close(fd)


# --------------------------------------------------------------------------
# Digest

DIGEST_SCHEME = "sha256"
# Changing what the digest covers changes this tag, so that digests of two
# definitions never compare equal by accident.
_DIGEST_TAG = b"tarvek-skills tree digest 1\0"
_KIND_BYTE = {DIR: b"d", FILE: b"f", LINK: b"l", OTHER: b"o"}


def _file_hash(entry: Entry) -> bytes:
    from hashlib import sha256  # loaded by the first digest, not by every listing

    sha = sha256()
    fd = os.open(entry.name, os.O_RDONLY | _NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
                 | getattr(os, "O_NONBLOCK", 0), dir_fd=entry.dir_fd)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _moved(entry.parts)
        while chunk := os.read(fd, 1 << 20):
            sha.update(chunk)
    finally:
        os.close(fd)
    return sha.hexdigest().encode()


def digest(root: Path) -> str:
    """"sha256:<hex>" of the tree below `root`: for each entry in walk order,
    its kind, its relative path ("/"-separated bytes) and its payload (a
    file's SHA-256, a link's target), each ended by NUL, which no name or
    link target can hold."""
    from hashlib import sha256

    sha = sha256(_DIGEST_TAG)
    for entry in walk(root):
        if entry.kind == FILE:
            payload = _file_hash(entry)
        elif entry.kind == LINK:
            payload = os.fsencode(os.readlink(entry.name, dir_fd=entry.dir_fd))
        else:
            payload = b""
        sha.update(_KIND_BYTE[entry.kind] + b"\0" + os.fsencode(entry.relative()) + b"\0"
                   + payload + b"\0")
    return f"{DIGEST_SCHEME}:{sha.hexdigest()}"
