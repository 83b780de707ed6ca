"""How an installed skill stands to what was installed and to its source.

Two questions, asked by list, outdated, update and doctor:

- *edited*: do its files still have the digest its install record holds
  (`records.state`)?  A linked skill is judged by the central store's copy
  and the store's record.
- *outdated*: has its source something newer?  A built-in template with a
  higher version; a repository whose REF (or default branch) now names
  another commit; an archive, a download or a directory whose skill now has
  other content.  Asking a remote source costs a network round trip
  (`git ls-remote`, or a download), so callers ask only when the person
  wants it (`remote`)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

from . import records
from .common import CommandError
from .i18n import _
from .model import OLDER, SAME, UNORDERABLE, Installed, compare_versions

# Sources (and what fetching them takes) are loaded only when one is asked.
if TYPE_CHECKING:
    from .sources import Fetcher, Found

EDITED, UNRECORDED, OK = "edited", "unrecorded", "ok"


def copy_of(skill: Installed) -> Path | None:
    """What holds the content of `skill`: its directory, or the central
    store's copy a link points at (None for a link elsewhere)."""
    if not os.path.islink(skill.root):
        return skill.root
    from .store import central_store_dir, stored_copy

    return stored_copy(skill.root, central_store_dir())


def record_of(skill: Installed) -> records.Record | None:
    """The authoritative record of `skill`: the store's for a linked one."""
    copy = copy_of(skill)
    if copy is None:
        return None
    return records.read(copy.parent, copy.name)


def local_state(skill: Installed) -> str:
    """OK, EDITED (files differ from the recorded digest, or a link that
    no longer points where it was made to) or UNRECORDED."""
    state = records.state(skill.directory, skill.name)
    if state == records.UNRECORDED:
        return UNRECORDED
    if state == records.CHANGED:
        return EDITED
    copy = copy_of(skill)
    if copy is not None and copy != skill.root:
        stored = records.state(copy.parent, copy.name)
        return {records.UNCHANGED: OK, records.CHANGED: EDITED}.get(stored, UNRECORDED)
    return OK


class Newer(NamedTuple):
    """What the source of a skill offers now."""

    relation: str | None  # OLDER (something newer), SAME, UNORDERABLE; None: unknown
    available: str = ""  # the version (or revision) it offers
    revision: str | None = None
    found: Found | None = None  # fetched, when asked to
    error: str | None = None


def is_builtin(record: records.Record | None) -> bool:
    return record is None or record.source.startswith("builtin:")


def _short(revision: str) -> str:
    text = revision.split(":", 1)[-1]
    return text[:12]


def from_source(record: records.Record, name: str, fetcher: Fetcher,
                remote: bool, fetch: bool) -> Newer:
    """Ask the source of a recorded skill (not a built-in) what it has now:
    OLDER when the skill's content there differs from the recorded digest,
    SAME (perhaps at a newer revision) when it does not.  `fetch` keeps the
    fetched skill for update.  Remote sources are asked only when
    `remote`."""
    from .sources import GIT, URL, parse

    try:
        source = parse(record.source)
    except CommandError as exc:
        return Newer(None, error=str(exc))
    if source.kind in (GIT, URL) and not remote:
        return Newer(None)
    try:
        if source.kind == GIT:
            # A round trip tells whether the REF moved at all; only then is
            # the repository cloned to compare the skill's own content.
            from . import gitsource

            revision = gitsource.remote_revision(source.spec)
            if revision is None or revision == record.revision:
                return Newer(SAME, record.version, record.revision)
        found = [f for f in fetcher.fetch(source)
                 if f.name == name and f.subpath == record.path]
    except CommandError as exc:
        return Newer(None, error=str(exc))
    except OSError as exc:
        from .output import os_error_message

        return Newer(None, error=os_error_message(exc))
    if not found:
        return Newer(None, error=_("来源 {source} 中已没有 {name}").format(
            source=record.source, name=name))
    newest = found[0]
    available = newest.info.version or _short(newest.revision)
    if newest.digest == record.digest:
        return Newer(SAME, available, newest.revision, newest if fetch else None)
    return Newer(OLDER, available, newest.revision, newest if fetch else None)


def from_builtin(name: str, version: str, templates: dict[str, str]) -> Newer:
    if name not in templates:
        return Newer(None)
    relation = compare_versions(version, templates[name])
    return Newer(relation if relation in (OLDER, UNORDERABLE) else SAME, templates[name])


def builtin_found(fetcher: Fetcher, name: str) -> Found:
    from .sources import BUILTIN, BUILTIN_PREFIX, Source

    return fetcher.fetch(Source(BUILTIN, BUILTIN_PREFIX + name))[0]


def describe_installed(skill: Installed):
    """What an installed skill's SKILL.md says of it, or None."""
    from . import skill as skills

    info, _problems = skills.check_light(skill.root)
    return info
