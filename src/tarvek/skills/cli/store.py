"""The central store's bookkeeping of the links that point into it.

`install --link` keeps one copy of a skill in the central store and puts a
symbolic link to it in each target; the copy goes only with its last link.
Links in the skills directories a run knows are found by looking; links in
other projects are known from the record made when they were made."""

from __future__ import annotations

import hashlib
import os
from pathlib import Path

from . import staging
from .common import packaging, resolved
from .model import Location


def central_store_dir() -> Path:
    return Path(os.path.abspath(packaging().get_central_skills_dir()))


def stored_copy(link: Path, store: Path) -> Path | None:
    """The copy in the central store that `link` points at, if it does."""
    if not os.path.islink(link):
        return None
    target = Path(os.path.realpath(link))
    return target if target.parent == resolved(store) else None


def links_to(stored: Path, dirs: list[Location]) -> set[str]:
    """The links that point at `stored`: those in the skills directories
    `dirs`, and those recorded when they were made (links of other projects
    are known only that way)."""
    found = set()
    key = os.path.realpath(stored)
    for location in dirs:
        try:
            entries = list(os.scandir(location.path))
        except OSError:
            continue
        for entry in entries:
            if entry.is_symlink() and os.path.realpath(entry.path) == key:
                found.add(os.path.abspath(entry.path))
    try:
        recorded = list(os.scandir(_link_records(stored)))
    except OSError:
        recorded = []
    for entry in recorded:
        try:
            link = os.readlink(entry.path)
        except OSError:
            continue
        # A record outlives a link replaced or deleted by other means.
        if os.path.islink(link) and os.path.realpath(link) == key:
            found.add(link)
    return found


# Each link to a stored copy is recorded beside the copy, as a symbolic link
# back to the link: `.tarvek-links/NAME.links/<hash of the link's path>`.
# One entry per link, made and removed on its own, so that runs for
# different links never rewrite a shared file.
LINK_RECORDS = ".tarvek-links"


def _link_records(stored: Path) -> Path:
    return stored.parent / LINK_RECORDS / f"{stored.name}.links"


def _link_record(stored: Path, link: Path) -> Path:
    digest = hashlib.sha256(os.fsencode(os.path.abspath(link))).hexdigest()[:32]
    return _link_records(stored) / digest


def record_link(stored: Path, link: Path) -> None:
    record = _link_record(stored, link)
    record.parent.mkdir(parents=True, exist_ok=True)
    if os.path.lexists(record):
        os.unlink(record)
    os.symlink(os.path.abspath(link), record)


def forget_link(stored: Path, link: Path) -> None:
    try:
        os.unlink(_link_record(stored, link))
    except FileNotFoundError:
        pass


def forget_copy(stored: Path) -> None:
    records = _link_records(stored)
    if os.path.lexists(records):
        staging.delete(records)
    try:
        records.parent.rmdir()
    except OSError:
        pass
