"""Unpacking a `.zip` or `.tar.gz` (also `.tar.bz2`, `.tar.xz`, `.tar`) of
skills, as hostile input.

The whole member list is checked before anything is written: a member
whose name leaves the archive (absolute, `..`, a drive or backslash path),
one that lies below a link or a file, a hard link, device or FIFO, and an
archive past the limits every input is held to (members, unpacked size,
compression ratio) refuse the archive.  The unpacked bytes are counted as
they come, whatever the headers declare.  Files are written into a fresh
directory, created exclusively, and links are laid last, so that nothing is
ever written through one; whether a link leads out of its skill is decided
later, by the skill's own check."""

from __future__ import annotations

import io
import os
import stat
import tarfile
import zipfile
from dataclasses import dataclass
from pathlib import Path

from . import limits, tree
from .common import Refused
from .i18n import _

_CHUNK = 1 << 20


def _refuse(archive: str, why: str) -> Refused:
    return Refused(_("拒绝归档 {archive}: {reason}").format(archive=archive, reason=why))


@dataclass
class _Node:
    parts: tuple[str, ...]
    kind: str
    source: object = None  # the member to read a file from
    target: str = ""  # of a link


class _Budget:
    """The limits, counted over the whole archive."""

    def __init__(self, archive: str, size: int):
        self.archive, self.size = archive, max(size, 1)
        self.members = 0
        self.total = 0

    def member(self) -> None:
        self.members += 1
        if self.members > limits.MAX_MEMBERS:
            raise _refuse(self.archive, _("成员超过 {count} 个").format(count=limits.MAX_MEMBERS))

    def bytes(self, count: int) -> None:
        self.total += count
        if self.total > limits.MAX_TOTAL:
            raise _refuse(self.archive, _("解包后超过 {size} MiB").format(
                size=limits.MAX_TOTAL >> 20))
        if self.total > limits.RATIO_FLOOR and self.total > limits.MAX_RATIO * self.size:
            raise _refuse(self.archive, _("压缩比超过 {ratio} 倍").format(
                ratio=limits.MAX_RATIO))


def _parts(archive: str, name: str) -> tuple[str, ...]:
    if "\0" in name:
        raise _refuse(archive, _("成员名含有 NUL: {name!r}").format(name=name))
    unified = name.replace("\\", "/")
    if unified.startswith("/") or (len(unified) > 1 and unified[1] == ":"):
        raise _refuse(archive, _("成员路径是绝对路径: {name!r}").format(name=name))
    parts = tuple(p for p in unified.split("/") if p not in ("", "."))
    if ".." in parts:
        raise _refuse(archive, _("成员路径含有 ..: {name!r}").format(name=name))
    return parts


def _layout(archive: str, members: list[_Node]) -> dict[tuple[str, ...], _Node]:
    """The tree the members make, refused where a member lies below a file
    or a link, or where one name is given twice."""
    nodes: dict[tuple[str, ...], _Node] = {}
    for member in members:
        if not member.parts:
            continue
        for depth in range(1, len(member.parts)):
            above = nodes.setdefault(member.parts[:depth], _Node(member.parts[:depth], tree.DIR))
            if above.kind != tree.DIR:
                raise _refuse(archive, _("成员位于文件或链接之下: {name!r}").format(
                    name="/".join(member.parts)))
        previous = nodes.get(member.parts)
        if previous is not None and (previous.kind != tree.DIR or member.kind != tree.DIR):
            raise _refuse(archive, _("成员重复或位于文件或链接之下: {name!r}").format(
                name="/".join(member.parts)))
        nodes[member.parts] = member
    return nodes


def _write_file(path: Path, stream, budget: _Budget) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
                 | getattr(os, "O_CLOEXEC", 0), 0o644)
    with open(fd, "wb") as out:
        while chunk := stream.read(_CHUNK):
            budget.bytes(len(chunk))
            out.write(chunk)


def _zip_nodes(archive: str, zf: zipfile.ZipFile, budget: _Budget) -> list[_Node]:
    nodes = []
    for info in zf.infolist():
        budget.member()
        # The Unix mode: many writers (Windows tools, zipfile.writestr)
        # leave out the file type bits, or the whole mode, of a plain file.
        mode = info.external_attr >> 16
        parts = _parts(archive, info.filename)
        if info.is_dir():
            nodes.append(_Node(parts, tree.DIR))
        elif stat.S_ISLNK(mode):
            if info.file_size > limits.MAX_LINK:
                raise _refuse(archive, _("符号链接成员过大: {name!r}").format(name=info.filename))
            with zf.open(info) as member:
                target = member.read(limits.MAX_LINK + 1).decode("utf-8", "surrogateescape")
            nodes.append(_Node(parts, tree.LINK, target=target))
        elif stat.S_IFMT(mode) and not stat.S_ISREG(mode):
            raise _refuse(archive, _("成员不是普通文件、目录或符号链接: {name!r}").format(
                name=info.filename))
        else:
            nodes.append(_Node(parts, tree.FILE, source=info))
    return nodes


def _unpack_zip(path: Path, dest: Path, budget: _Budget, stream) -> None:
    from .verify import _zip_member_count

    count = _zip_member_count(stream)
    if count is not None and count > limits.MAX_MEMBERS:
        raise _refuse(str(path), _("成员超过 {count} 个").format(count=limits.MAX_MEMBERS))
    stream.seek(0)
    with zipfile.ZipFile(stream) as zf:
        nodes = _layout(str(path), _zip_nodes(str(path), zf, budget))
        links = _lay_out(dest, nodes, lambda node: zf.open(node.source), budget)
    _lay_links(dest, links)


def _lay_out(dest: Path, nodes: dict, opener, budget: _Budget) -> list[_Node]:
    """Directories first, then the files in the archive's own order (a
    compressed tar is read forwards only once), then the links to lay."""
    for parts in sorted(p for p, node in nodes.items() if node.kind == tree.DIR):
        dest.joinpath(*parts).mkdir(exist_ok=True)
    for node in nodes.values():
        if node.kind == tree.FILE:
            with opener(node) as member:
                _write_file(dest.joinpath(*node.parts), member, budget)
    return [node for node in nodes.values() if node.kind == tree.LINK]


def _lay_links(dest: Path, links: list[_Node]) -> None:
    for node in links:
        os.symlink(node.target, dest.joinpath(*node.parts))


def _unpack_tar(path: Path, dest: Path, budget: _Budget, stream) -> bool:
    from .verify import _STREAM_LIMIT, _DECOMPRESSORS, _Bounded, _TooLarge, zlib_error
    import lzma

    stream.seek(0)
    magic = stream.read(6)
    stream.seek(0)
    raw = stream
    for prefix, opener in _DECOMPRESSORS:
        if magic.startswith(prefix):
            raw = opener(fileobj=stream) if prefix == b"\x1f\x8b" else opener(stream)
            break
    bounded = io.BufferedReader(_Bounded(raw, _STREAM_LIMIT))
    archive = str(path)
    try:
        try:
            tf = tarfile.open(fileobj=bounded, mode="r:")
        except (tarfile.ReadError, EOFError, OSError, lzma.LZMAError, zlib_error()):
            return False
        with tf:
            members = []
            for info in tf:
                budget.member()
                parts = _parts(archive, info.name)
                if info.isdir():
                    members.append(_Node(parts, tree.DIR))
                elif info.issym():
                    if len(info.linkname.encode("utf-8", "surrogateescape")) > limits.MAX_LINK:
                        raise _refuse(archive, _("符号链接成员过大: {name!r}").format(
                            name=info.name))
                    members.append(_Node(parts, tree.LINK, target=info.linkname))
                elif info.isreg():
                    budget.bytes(0)
                    members.append(_Node(parts, tree.FILE, source=info))
                else:
                    raise _refuse(archive, _("成员不是普通文件、目录或符号链接"
                                             "（硬链接、设备、FIFO）: {name!r}").format(
                        name=info.name))
            nodes = _layout(archive, members)
            links = _lay_out(dest, nodes, lambda node: tf.extractfile(node.source), budget)
    except _TooLarge:
        raise _refuse(archive, _("解包后超过 {size} MiB").format(
            size=_STREAM_LIMIT >> 20)) from None
    except (tarfile.TarError, EOFError, lzma.LZMAError, zlib_error()) as exc:
        raise _refuse(archive, _("归档已损坏: {reason}").format(reason=exc)) from None
    _lay_links(dest, links)
    return True


def unpack(path: Path, dest: Path, label: str | None = None) -> None:
    """Unpack the archive at `path` into the empty directory `dest`, or
    refuse it (Refused) with `dest` left to its owner to delete."""
    label = label or str(path)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb") as stream:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Refused(_("不是普通文件，不会读取（设备、FIFO、套接字）: {path}").format(
                path=label))
        import fcntl

        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        budget = _Budget(label, info.st_size)
        if zipfile.is_zipfile(stream):
            from .verify import zlib_error
            import lzma

            try:
                _unpack_zip(Path(label), dest, budget, stream)
            except (zipfile.BadZipFile, EOFError, zlib_error(), lzma.LZMAError,
                    NotImplementedError) as exc:
                raise _refuse(label, _("归档已损坏: {reason}").format(reason=exc)) from None
        elif not _unpack_tar(Path(label), dest, budget, stream):
            raise Refused(_("不是 .zip 或 .tar.gz 归档: {path}").format(path=label))


ARCHIVE_SUFFIXES = (".zip", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz", ".txz", ".tar")


def looks_like_archive(name: str) -> bool:
    return name.lower().endswith(ARCHIVE_SUFFIXES)
