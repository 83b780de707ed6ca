"""`verify`: check a built artifact against the release manifest.

Takes a wheel, an sdist, the unpacked tree of a single-file binary or a
templates directory, and reports every skill template that is there but not
admitted for the profile and artifact, every admitted one that is missing,
and every file that collection would take from outside the templates tree
through a symbolic link.  `validate` checks a source tree; this checks what
a build produced.

The profile and artifact default to those in the artifact's build record,
and the record (`build-record.json` beside the manifest) also tells where a
downstream package keeps its templates; `--templates-path` names that place
for an artifact without a record.

An artifact is input from elsewhere and is read as such: only a regular
file or a directory is read (never a device, a FIFO or a socket); an
archive is never unpacked.  Its member list is read, within limits on the
number of members, their total size and the compression ratio, and of its
members only the content of manifests and build records and the targets of
symbolic links; the tree is then rebuilt from the list as a skeleton
(directories and empty files, and the links of the templates directory
once it is found) for the packaging module to look at.  A directory is
walked without a depth limit (`tree.walk`)."""

from __future__ import annotations

import bz2
import errno
import fcntl
import gzip
import io
import lzma
import os
import stat
import struct
import tarfile
import tempfile
import zipfile
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import BinaryIO, Iterator

from . import tree
# What an archive may hold before it is refused unread: the limits every
# input from elsewhere is held to.
from .limits import MAX_LINK, MAX_MEMBERS, MAX_RATIO, MAX_TOTAL, RATIO_FLOOR
from .common import EXIT_FAILURE, EXIT_OK, ManifestError, Refused, UsageError, packaging
from .options import artifact_arg, known_artifacts, path_arg, profile_option, templates_option
from .output import Outcome, table
from .recorded import RECORD_FILENAME, judge, read
from .i18n import N_, _, join

# Where the templates lie inside each kind of artifact.
_TEMPLATES = Path("tarvek", "skills", "templates")
_KIND_TEXT = {"directory": N_("目录"), "wheel": "wheel", "sdist": "sdist"}

MAX_MANIFEST = 64 << 20  # what the manifest loader reads at most
# The unpacked bytes a tar stream may take: the members and their headers.
_STREAM_LIMIT = MAX_TOTAL + 1024 * MAX_MEMBERS


def verify_options(sub) -> None:
    sub.epilog = (
        _("报告：在产物中但未准入的 Skill、已准入却缺失的 Skill，以及收集时会经由\n"
          "符号链接从模板目录之外带入的文件。准入按产物自带的发版清单判定\n"
          "（或 --manifest-templates 给出的目录）。profile 与产物类型默认取产物的\n"
          "构建记录（模板目录中的 {RECORD_FILENAME}）；没有构建记录时必须用\n"
          "--profile 与 --artifact 给出。\n"
          "只读取普通文件或目录（设备、FIFO、套接字被拒绝）；归档从不解包：只读成员\n"
          "列表、发版清单、构建记录和符号链接的目标。成员超过 {MAX_MEMBERS} 个、\n"
          "解包后超过 "
          "{value} MiB 或压缩比超过 {MAX_RATIO} 倍的归档被拒绝。\n"
          "退出状态：0 一致；1 发现问题；2 用法、清单或构建记录错误、被拒绝的产物。").format(
            RECORD_FILENAME=RECORD_FILENAME, MAX_MEMBERS=MAX_MEMBERS, value=MAX_TOTAL >> 20,
            MAX_RATIO=MAX_RATIO))
    sub.positionals.add_argument("path", metavar="ARTIFACT", type=path_arg,
                                 help=_("wheel（.whl）、sdist（.tar.gz）、单文件程序解"
                                        "包目录或模板目录"))
    sub.options.add_argument("--artifact", metavar="A", type=artifact_arg,
                             help=_("产物类型：{value}（默认：构建记录中的产物类型）").format(
                                      value=join(known_artifacts())))
    profile_option(sub, _("构建记录中的 profile"))
    templates_option(sub, "--manifest-templates", "manifest_templates", _("提供发版清单的模板目录"),
                     default_text=_("产物自带的清单"))
    sub.options.add_argument("--templates-path", metavar="PATH",
                             help=_("模板目录在产物中的路径，例如 mypkg/skills（默认："
                                    "构建记录所在的目录，否则 tarvek/skills/templates"
                                    "）"))


def _fixed_templates(root: Path) -> Path | None:
    """Where our own artifacts keep the templates: tarvek/skills/templates at
    the top (wheel, binary tree) or one level down under src (sdist), or the
    directory itself when it holds a manifest."""
    for candidate in (root / _TEMPLATES, *sorted(root.glob(f"*/src/{_TEMPLATES}")),
                      *sorted(root.glob(f"*/{_TEMPLATES}"))):
        if candidate.is_dir():
            return candidate
    if (root / packaging().MANIFEST_FILENAME).is_file():
        return root
    return None


def _inside(root: Path, relative: str) -> list[Path]:
    """`relative` below the artifact's root, or below its one top directory
    (an sdist's name-version/)."""
    return [p for p in (root / relative, *sorted(root.glob(f"*/{relative}"))) if p.is_dir()]


def _record_files(root: Path) -> list[Path]:
    """The build records below `root`, found by a walk without a depth limit;
    one too deep to be named by a path marks no templates directory anyway."""
    found = []
    for entry in tree.walk(root):
        if entry.kind == tree.FILE and entry.name == RECORD_FILENAME:
            path = root.joinpath(*entry.parts)
            if len(os.fsencode(path)) < _PATH_MAX:
                found.append(path)
    return sorted(found)


def _recorded_templates(root: Path) -> list[Path]:
    """The templates directories whose build record says they lie where
    they are: the root itself, or its record's templates_path."""
    if (root / RECORD_FILENAME).is_file():
        return [root]
    found = []
    for record_file in _record_files(root):
        record = read(record_file.parent)
        if record is not None and record_file.parent in _inside(root, record.templates_path):
            found.append(record_file.parent)
    return found


def _find_templates(root: Path, templates_path: str | None) -> Path:
    if templates_path is not None:
        relative = Path(templates_path)
        if relative.is_absolute() or ".." in relative.parts:
            raise UsageError(_("--templates-path 必须是产物内的相对路径: "
                               "{templates_path}").format(templates_path=templates_path))
        if relative == Path("."):
            return root
        found = _inside(root, relative.as_posix())
        if len(found) != 1:
            message = (_("在产物中找不到模板目录 {path}") if not found
                       else _("在产物中有不止一个模板目录 {path}"))
            raise UsageError(message.format(path=templates_path))
        return found[0]
    recorded = _recorded_templates(root)
    if len(recorded) > 1:
        places = join(str(p.relative_to(root)) for p in recorded)
        raise UsageError(
            _("产物中有多个带构建记录的模板目录（{places}）：请用 --templates-path 指"
              "定").format(places=places))
    if recorded:
        return recorded[0]
    templates = _fixed_templates(root)
    if templates is None:
        raise UsageError(_("在产物中找不到模板目录（{TEMPLATES}）或发版清单；模板在别"
                           "处时请用 --templates-path 指定").format(TEMPLATES=_TEMPLATES))
    return templates


# --------------------------------------------------------------------------
# Reading an archive's member list


class _TooLarge(Exception):
    pass


def _refuse(path: Path, why: str) -> Refused:
    return Refused(_("拒绝读取归档 {path}: {why}").format(path=path, why=why))


@dataclass
class _Member:
    parts: tuple[str, ...]
    kind: str  # tree.DIR, tree.FILE or tree.LINK
    target: str | None = None  # of a link


@dataclass
class _Listing:
    """What an archive holds, as far as verify needs it."""

    path: Path
    size: int  # of the archive
    members: list[_Member] = field(default_factory=list)
    total: int = 0
    manifests: dict[tuple[str, ...], bytes] = field(default_factory=dict)
    kept: int = 0  # bytes of manifest candidates held

    def add(self, name: str, kind: str, size: int, target: str | None = None) -> None:
        if len(self.members) >= MAX_MEMBERS:
            raise _refuse(self.path, _("成员超过 {count} 个").format(count=MAX_MEMBERS))
        self.total += max(size, 0)
        if self.total > MAX_TOTAL:
            raise _refuse(self.path, _("成员解包后共超过 {size} MiB").format(
                size=MAX_TOTAL >> 20))
        if self.total > RATIO_FLOOR and self.total > MAX_RATIO * max(self.size, 1):
            raise _refuse(self.path, _("压缩比超过 {MAX_RATIO} 倍（解包后至少 {value} "
                                       "MiB，归档 {size} 字节）").format(
                                         MAX_RATIO=MAX_RATIO, value=self.total >> 20,
                                         size=self.size))
        parts = _member_parts(self.path, name)
        if parts:
            self.members.append(_Member(parts, kind, target))

    def wants(self, name: str, kind: str, size: int) -> bool:
        """Whether the content of this member is needed: a manifest or a
        build record, wherever it lies."""
        parts = _member_parts(self.path, name)
        return (kind == tree.FILE and bool(parts) and size <= MAX_MANIFEST
                and parts[-1] in (packaging().MANIFEST_FILENAME, RECORD_FILENAME))

    def keep(self, name: str, content: bytes) -> None:
        self.kept += len(content)
        if self.kept > MAX_MANIFEST:
            raise _refuse(self.path, _("发版清单和构建记录过多或过大"))
        self.manifests[_member_parts(self.path, name)] = content


def _member_parts(archive: Path, name: str) -> tuple[str, ...]:
    """The components of a member's name; a name that leaves the archive
    (absolute, or with "..") refuses the whole archive."""
    if name.startswith("/") or "\\" in name and name.replace("\\", "/").startswith("/"):
        raise _refuse(archive, _("成员路径是绝对路径: {name!r}").format(name=name))
    parts = tuple(p for p in name.split("/") if p not in ("", "."))
    if ".." in parts:
        raise _refuse(archive, _("成员路径含有 ..: {name!r}").format(name=name))
    return parts


def _zip_member_count(stream: BinaryIO) -> int | None:
    """The member count that the end of a zip file declares, read before its
    central directory is parsed."""
    size = stream.seek(0, io.SEEK_END)
    length = min(size, 0xFFFF + 22)
    stream.seek(size - length)
    tail = stream.read(length)
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or len(tail) - at < 22:
        return None
    (count,) = struct.unpack("<H", tail[at + 10:at + 12])
    locator = at - 20
    if count == 0xFFFF and locator >= 0 and tail[locator:locator + 4] == b"PK\x06\x07":
        (offset,) = struct.unpack("<Q", tail[locator + 8:locator + 16])
        stream.seek(offset)
        record = stream.read(56)
        if record[:4] == b"PK\x06\x06":
            (count,) = struct.unpack("<Q", record[32:40])
    return count


def _list_zip(path: Path, stream: BinaryIO, listing: _Listing) -> None:
    count = _zip_member_count(stream)
    if count is not None and count > MAX_MEMBERS:
        raise _refuse(path, _("成员超过 {MAX_MEMBERS} 个（声明 {count} 个）").format(
                                MAX_MEMBERS=MAX_MEMBERS, count=count))
    stream.seek(0)
    with zipfile.ZipFile(stream) as archive:
        for info in archive.infolist():
            mode = info.external_attr >> 16
            if info.is_dir():
                kind = tree.DIR
            elif stat.S_ISLNK(mode):
                kind = tree.LINK
            else:
                kind = tree.FILE
            target = None
            if kind == tree.LINK:
                if info.file_size > MAX_LINK:
                    raise _refuse(path, _("符号链接成员过大: {filename!r}").format(
                                            filename=info.filename))
                with archive.open(info) as member:
                    target = os.fsdecode(member.read(MAX_LINK))
            listing.add(info.filename, kind, info.file_size, target)
            if listing.wants(info.filename, kind, info.file_size):
                with archive.open(info) as member:
                    listing.keep(info.filename, member.read(MAX_MANIFEST + 1))


class _Bounded(io.RawIOBase):
    """A decompressed stream that refuses to go past `limit` bytes, so that
    neither a bomb nor an oversized header is ever unpacked in full."""

    def __init__(self, raw: BinaryIO, limit: int):
        super().__init__()
        self._raw = raw
        self._limit = limit

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._raw.tell()

    def read(self, size: int = -1) -> bytes:
        position = self._raw.tell()
        if size is None or size < 0:
            size = self._limit - position + 1
        if position + size > self._limit:
            raise _TooLarge()
        return self._raw.read(size)

    def readinto(self, buffer) -> int:
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        target = {io.SEEK_SET: offset, io.SEEK_CUR: self._raw.tell() + offset}.get(whence)
        if target is None:
            raise io.UnsupportedOperation("seek from the end")
        if target > self._limit:
            raise _TooLarge()
        return self._raw.seek(target)


_DECOMPRESSORS = [(b"\x1f\x8b", gzip.GzipFile), (b"BZh", bz2.BZ2File),
                  (b"\xfd7zXZ\x00", lzma.LZMAFile)]


def _list_tar(path: Path, stream: BinaryIO, listing: _Listing) -> bool:
    """List a (compressed) tar archive; False if it is none."""
    stream.seek(0)
    magic = stream.read(6)
    stream.seek(0)
    raw: BinaryIO = stream
    for prefix, opener in _DECOMPRESSORS:
        if magic.startswith(prefix):
            raw = opener(fileobj=stream) if opener is gzip.GzipFile else opener(stream)
            break
    bounded = io.BufferedReader(_Bounded(raw, _STREAM_LIMIT))
    try:
        try:
            archive = tarfile.open(fileobj=bounded, mode="r:")
        except (tarfile.ReadError, EOFError, OSError, lzma.LZMAError, zlib_error()):
            return False
        with archive:
            while (info := archive.next()) is not None:
                if info.isdir():
                    kind, target = tree.DIR, None
                elif info.issym():
                    kind, target = tree.LINK, info.linkname
                else:  # files, hard links, and what extraction would refuse anyway
                    kind, target = tree.FILE, None
                listing.add(info.name, kind, info.size, target)
                if info.isreg() and listing.wants(info.name, kind, info.size):
                    member = archive.extractfile(info)
                    listing.keep(info.name, member.read(MAX_MANIFEST + 1))
    except _TooLarge:
        raise _refuse(path, _("解包后超过 {size} MiB").format(
            size=_STREAM_LIMIT >> 20)) from None
    except (tarfile.TarError, EOFError, lzma.LZMAError, zlib_error()) as exc:
        raise _refuse(path, _("归档已损坏: {exc}").format(exc=exc)) from None
    return True


def zlib_error() -> type[Exception]:
    import zlib

    return zlib.error


def _skeleton(listing: _Listing, scratch: Path) -> list[_Member]:
    """Rebuild the archive's tree in `scratch` from its member list:
    directories, and files empty but for manifests and build records.  The
    links are returned, to be laid out only in the templates directory once
    it is found (`_lay_links`), so that nothing outside the skeleton is
    reached through one while looking for it.  Members are laid out in
    memory first, so a member below a link or a file is refused instead of
    being written through it."""
    nodes: dict[tuple[str, ...], _Member] = {}
    parents: set[tuple[str, ...]] = set()
    for member in listing.members:
        for depth in range(1, len(member.parts)):
            above = nodes.setdefault(member.parts[:depth],
                                     _Member(member.parts[:depth], tree.DIR))
            if above.kind != tree.DIR:
                raise _refuse(listing.path, _("成员位于文件或链接之下: {value!r}").format(
                                                value='/'.join(member.parts)))
            parents.add(member.parts[:depth])
        if member.kind != tree.DIR and member.parts in parents:
            raise _refuse(listing.path, _("成员位于文件或链接之下: {value!r}").format(
                                            value='/'.join(member.parts)))
        nodes[member.parts] = member
    links = []
    for parts in sorted(nodes):
        node, path = nodes[parts], scratch.joinpath(*parts)
        if node.kind == tree.DIR:
            path.mkdir(parents=True, exist_ok=True)
        elif node.kind == tree.LINK:
            links.append(node)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(listing.manifests.get(parts, b""))
    return links


def _lay_links(links: list[_Member], scratch: Path, templates: Path) -> None:
    """The links of an archive's skeleton that lie in its templates directory."""
    top = templates.relative_to(scratch).parts
    for link in links:
        if link.parts[:len(top)] == top and len(link.parts) > len(top):
            os.symlink(link.target or "", scratch.joinpath(*link.parts))


@contextmanager
def _artifact(path: Path) -> Iterator[tuple[Path, str, list[_Member]]]:
    """(directory to look in, kind of artifact, links still to lay out): the
    directory itself, or the skeleton of an archive."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, _("产物不存在"), str(path)) from None
    if stat.S_ISDIR(info.st_mode):
        yield path, "directory", []
        return
    if not stat.S_ISREG(info.st_mode):
        raise Refused(_("不是普通文件或目录，不会读取（设备、FIFO、套接字）: {path}").format(
                          path=path))
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0)
                 | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb") as stream:
        opened = os.fstat(fd)
        if not stat.S_ISREG(opened.st_mode):
            raise Refused(_("不是普通文件或目录，不会读取（设备、FIFO、套接字）: "
                            "{path}").format(path=path))
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        listing = _Listing(path, opened.st_size)
        if zipfile.is_zipfile(stream):
            kind = "wheel"
            try:
                _list_zip(path, stream, listing)
            except (zipfile.BadZipFile, EOFError, zlib_error(), lzma.LZMAError) as exc:
                raise _refuse(path, _("归档已损坏: {exc}").format(exc=exc)) from None
        elif _list_tar(path, stream, listing):
            kind = "sdist"
        else:
            raise UsageError(_("不是 wheel、sdist 或目录: {path}").format(path=path))
    with tempfile.TemporaryDirectory(prefix="tarvek-verify-") as scratch:
        links = _skeleton(listing, Path(scratch))
        yield Path(scratch), kind, links


# --------------------------------------------------------------------------
# Files taken through links


_PATH_MAX = 4096


def _packable(path: Path) -> bool:
    """The packaging module's verdict; a path too long for the system to
    reach in one piece cannot be asked about, and counts as packable, so that
    such a link is reported rather than missed."""
    if len(os.fsencode(path)) >= _PATH_MAX:
        return True
    return bool(packaging()._is_packable_file(path))


def _real(path: Path, target: str) -> str:
    real = os.path.realpath(path)
    return real if os.path.isabs(real) and len(real) < _PATH_MAX else target


def _link_target(entry: tree.Entry) -> tuple[os.stat_result | None, str]:
    """What a link reaches (None if nothing) and its text."""
    text = os.readlink(entry.name, dir_fd=entry.dir_fd)
    try:
        return os.stat(entry.name, dir_fd=entry.dir_fd), text
    except OSError:
        return None, text


def _outside_links(templates: Path, names: list[str],
                   follow_linked_skills: bool = True) -> list[tuple[str, str]]:
    """(file, where it really is) for each file of the named skills that
    collection would take through a symbolic link leading out of the tree.
    Collection lists files with rglob, which does not descend into linked
    directories but follows linked files (and lists a skill directory that
    is itself a link through it).  A link leads out when the file it reaches
    is none of the tree's own files, compared by device and inode, so that
    no path needs resolving."""
    wanted = set(names)
    inside: set[tuple[int, int]] = set()
    reached: list[tuple[Path, tuple[int, int], str]] = []
    linked_skills = []
    for entry in tree.walk(templates):
        if entry.kind == tree.FILE:
            inside.add((entry.stat.st_dev, entry.stat.st_ino))
        elif entry.kind == tree.LINK and entry.parts[0] in wanted:
            target, text = _link_target(entry)
            if target is None:
                continue  # dangling: not a file, not collected
            if len(entry.parts) == 1:
                if stat.S_ISDIR(target.st_mode) and follow_linked_skills:
                    linked_skills.append(entry.parts[0])
            elif stat.S_ISREG(target.st_mode):
                reached.append((templates.joinpath(*entry.parts),
                                (target.st_dev, target.st_ino), text))
    for name in linked_skills:
        for entry in tree.walk(templates / name):
            path = templates.joinpath(name, *entry.parts)
            if entry.kind == tree.FILE:
                reached.append((path, (entry.stat.st_dev, entry.stat.st_ino), str(path)))
            elif entry.kind == tree.LINK:
                target, text = _link_target(entry)
                if target is not None and stat.S_ISREG(target.st_mode):
                    reached.append((path, (target.st_dev, target.st_ino), text))
    return sorted((str(path), _real(path, text)) for path, identity, text in reached
                  if identity not in inside and _packable(path))


def _leaves_lexically(parts: tuple[str, ...], text: str) -> bool:
    """Whether a link at `parts` (relative to the templates directory) with
    target `text` names something outside the templates directory."""
    if not text or os.path.isabs(text):
        return True
    joined = os.path.normpath(os.path.join(*parts[:-1], text) if len(parts) > 1 else text)
    return joined == ".." or joined.startswith("../")


def _archive_links(templates: Path, unpacked: Path, archive: Path,
                   names: list[str]) -> list[tuple[str, str]]:
    """Links among an archive's members that lead out of its templates tree,
    named as members of the archive (ARCHIVE/member) with the link's text.
    Whether a link leads out is decided from the names (an absolute target,
    or one that climbs above the templates directory), since what it would
    reach is on another machine; a chain of links inside the tree is
    followed in the skeleton.  Nothing outside the skeleton is walked."""
    found = {}
    for path, _target in _outside_links(templates, names, follow_linked_skills=False):
        found[Path(path).relative_to(unpacked)] = os.readlink(path)
    wanted = set(names)
    for entry in tree.walk(templates):
        if entry.kind == tree.LINK and entry.parts[0] in wanted:
            text = os.readlink(entry.name, dir_fd=entry.dir_fd)
            if _leaves_lexically(entry.parts, text):
                found[templates.joinpath(*entry.parts).relative_to(unpacked)] = text
    return sorted((f"{archive}/{member}", text) for member, text in found.items())


def _chosen(given: str | None, recorded: str | None, option: str) -> tuple[str, str]:
    """(value, where it came from) of the profile or the artifact."""
    if given:
        return given, option
    if recorded:
        return recorded, "record"
    what = "profile" if option == "--profile" else _("产物类型")
    raise ManifestError(_("产物没有构建记录，不知道它的{what}：请用 {option} 指定").format(
                            what=what, option=option))


def cmd_verify(args) -> Outcome:
    with _artifact(args.path) as (unpacked, kind, links):
        templates = _find_templates(unpacked, args.templates_path)
        _lay_links(links, unpacked, templates)
        record = read(templates)
        profile, profile_source = _chosen(args.profile, record and record.profile, "--profile")
        artifact, artifact_source = _chosen(args.artifact, record and record.artifact,
                                            "--artifact")
        manifest_dir = args.manifest_templates or templates
        judgement = judge(templates, manifest_dir, profile, artifact)
        present, admitted = judgement.present, judgement.admitted
        extra, missing = judgement.not_admitted, judgement.missing
        collected = [n for n in present if n in admitted]
        linked = (_outside_links(templates, collected) if kind == "directory"
                  else _archive_links(templates, unpacked, args.path, collected))
        where = templates.relative_to(unpacked) if kind != "directory" else templates

    findings = ([[_("未准入却在产物中"), n] for n in extra]
                + [[_("已准入却缺失"), n] for n in missing]
                + [[_("经符号链接来自模板目录之外"), f"{f} -> {real}"] for f, real in linked])
    document = {"path": str(args.path), "kind": kind, "templates": str(where),
                "profile": profile, "profile_source": profile_source,
                "artifact": artifact, "artifact_source": artifact_source,
                "record": record.as_json() if record else None, "present": present,
                "admitted": admitted, "not_admitted": extra, "missing": missing,
                "outside_links": [{"file": f, "target": real} for f, real in linked]}
    source_text = {"--profile": "--profile", "--artifact": "--artifact", "record": _("构建记录")}
    lines = [_("产物: {path}（{value}，模板目录 {where}）").format(
                 path=args.path, value=_(_KIND_TEXT[kind]), where=where),
             _("profile {profile}（{profile_source}），产物类型 {artifact}（{artifact_source}）"
               ": 准入 {admitted} 个 Skill，产物携带 {present} 个").format(
                 profile=profile, profile_source=source_text[profile_source], artifact=artifact,
                 artifact_source=source_text[artifact_source], admitted=len(admitted),
                 present=len(present))]
    lines += table([_("问题"), _("对象")], findings, empty=_("一致：产物恰好携带准入的 Skill"))
    return Outcome(EXIT_FAILURE if findings else EXIT_OK, document, lines)
