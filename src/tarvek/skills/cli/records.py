"""What this tool remembers about the skills it installed, beside them.

Every skills directory the tool writes into gets a hidden directory of its
own, `.tarvek-installed`, which discovery never lists (it holds no `data`):

    .tarvek-installed/NAME.json   the install record of skill NAME
    .tarvek-installed/created     the directories the tool created to make
                                  this skills directory, as JSON

An install record says what was put there: the skill's name and version,
where it came from, whether the entry is a link into the central store, and
the digest of its content (`tree.digest`) as installed.  A skill whose
digest no longer matches its record was changed since, and is replaced only
with `--force`, its old copy kept in `.tarvek-backup` (`backup`).  The
record holds what a project's lock file needs of each skill, so such a file
can be written from the records and checked against them.

A record is one small file written whole and renamed into place, so that a
reader never sees half of one and runs for different skills never rewrite a
shared file."""

from __future__ import annotations

import json
import os
import shutil
import time
from pathlib import Path
from typing import NamedTuple

from . import tree

RECORDS = ".tarvek-installed"
CREATED = "created"
BACKUPS = ".tarvek-backup"
FORMAT = 1
TOOL = "tarvek-skills"


class Record(NamedTuple):
    name: str
    version: str
    source: str
    digest: str
    link: str | None = None  # the stored copy this entry links to
    # The source's revision: the commit of a repository, the hash of an
    # archive, the content digest of a directory, this tool's version for a
    # built-in template.
    revision: str | None = None
    path: str = ""  # where the skill lies in its source ("" for the top)

    def as_json(self) -> dict[str, object]:
        return {"tool": TOOL, "format": FORMAT, "name": self.name, "version": self.version,
                "source": self.source, "revision": self.revision, "digest": self.digest,
                "link": self.link, "path": self.path}


def _record_path(skills_dir: Path, name: str) -> Path:
    return Path(skills_dir) / RECORDS / f"{name}.json"


def _write_whole(path: Path, text: str) -> None:
    """Write `path` through a temporary file renamed into place."""
    import secrets

    path.parent.mkdir(exist_ok=True)
    temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}")
    try:
        with open(temporary, "x", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write(skills_dir: Path, record: Record) -> None:
    _write_whole(_record_path(skills_dir, record.name), json.dumps(record.as_json()))


def read(skills_dir: Path, name: str) -> Record | None:
    """The record of skill `name`, or None when there is none this tool can
    read as its own."""
    path = _record_path(skills_dir, name)
    try:
        if not path.is_file() or path.is_symlink() or path.stat().st_size > 1 << 16:
            return None
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or data.get("tool") != TOOL or data.get("format") != FORMAT:
        return None
    fields = {key: data.get(key) for key in ("name", "version", "source", "digest")}
    if fields["name"] != name or not all(isinstance(v, str) for v in fields.values()):
        return None
    link, revision, where = data.get("link"), data.get("revision"), data.get("path")
    return Record(**fields, link=link if isinstance(link, str) else None,
                  revision=revision if isinstance(revision, str) else None,
                  path=where if isinstance(where, str) else "")


def forget(skills_dir: Path, name: str) -> None:
    try:
        os.unlink(_record_path(skills_dir, name))
    except FileNotFoundError:
        pass
    _rmdir_area(Path(skills_dir))


def _rmdir_area(skills_dir: Path) -> None:
    """Remove the records directory once it is empty (the record of created
    directories stays until they go, see `remove_if_empty`)."""
    try:
        (skills_dir / RECORDS).rmdir()
    except OSError:
        pass


# --------------------------------------------------------------------------
# Whether a skill changed since it was installed


UNCHANGED, CHANGED, UNRECORDED = "unchanged", "changed", "unrecorded"


def state(skills_dir: Path, name: str) -> str:
    """Whether skill `name` in `skills_dir` is as this tool installed it:
    UNCHANGED, CHANGED (its digest differs from its record) or UNRECORDED
    (no record: installed by hand or by an older version, so nobody can
    tell)."""
    record = read(skills_dir, name)
    if record is None:
        return UNRECORDED
    entry = Path(skills_dir) / name
    if os.path.islink(entry):
        # A link is ours when it still points where it was made to point;
        # the content it shares is checked in the store, against the store's record.
        return UNCHANGED if record.link == os.readlink(entry) else CHANGED
    return UNCHANGED if record.link is None and tree.digest(entry) == record.digest else CHANGED


def backup(skills_dir: Path, name: str) -> Path:
    """Copy skill `name` into `.tarvek-backup/NAME-<UTC time>` beside it,
    links as links, before it is replaced; return where."""
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
    area = Path(skills_dir) / BACKUPS
    area.mkdir(exist_ok=True)
    for attempt in range(1000):
        dest = area / (f"{name}-{stamp}" if attempt == 0 else f"{name}-{stamp}-{attempt}")
        if not os.path.lexists(dest):
            break
    source = Path(skills_dir) / name
    if os.path.islink(source):
        os.symlink(os.readlink(source), dest)
    else:
        shutil.copytree(source, dest, symlinks=True)
    return dest


def discard_backups(backups: list[Path]) -> None:
    """Delete copies `backup` made in a run that then failed: the originals
    are still in place, so the copies hold nothing of their own."""
    from .staging import delete

    for path in backups:
        try:
            delete(path)
            path.parent.rmdir()
        except OSError:
            pass


# --------------------------------------------------------------------------
# Directories created for a skills directory


def note_created(skills_dir: Path, created: list[Path]) -> None:
    """Remember the directories (the skills directory and parents of it)
    that this tool created, to remove them again once they are empty."""
    if created:
        _write_whole(Path(skills_dir) / RECORDS / CREATED,
                     json.dumps([os.path.abspath(p) for p in created]))


def created(skills_dir: Path) -> list[Path]:
    """The directories recorded by `note_created`: the skills directory and
    the chain of its parents, deepest first; anything else is ignored."""
    path = Path(skills_dir) / RECORDS / CREATED
    try:
        if path.is_symlink() or path.stat().st_size > 1 << 16:
            return []
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return []
    if not isinstance(data, list):
        return []
    chain = [Path(os.path.abspath(skills_dir))]
    while chain[-1].parent != chain[-1]:
        chain.append(chain[-1].parent)
    recorded = {p for p in data if isinstance(p, str)}
    found = []
    for directory in chain:
        if str(directory) not in recorded:
            break
        found.append(directory)
    return found


def remove_if_empty(skills_dir: Path) -> list[Path]:
    """Remove the skills directory and the parents this tool created for it,
    if nothing but the tool's own bookkeeping is left in them.  Only empty
    directories are removed (rmdir), so nothing can be lost; return those
    removed."""
    skills_dir = Path(skills_dir)
    ours = created(skills_dir)
    if not ours or ours[0] != Path(os.path.abspath(skills_dir)):
        return []
    try:
        names = os.listdir(skills_dir)
    except OSError:
        return []
    if names not in ([], [RECORDS]):
        return []
    if names:
        try:
            if sorted(os.listdir(skills_dir / RECORDS)) != [CREATED]:
                return []
            os.unlink(skills_dir / RECORDS / CREATED)
            (skills_dir / RECORDS).rmdir()
        except OSError:
            return []
    removed = []
    for directory in ours:
        try:
            directory.rmdir()
        except OSError:
            break
        removed.append(directory)
    return removed
