"""The lock file kept in step with the install records.

A lock file holds one entry per skill of a scope: the project (its skills
directories of every runtime, lock file in the project's root) or the user
(the per-user skills directories, lock file in the central store).  After
install, update or remove changed a skill, its entry is written anew from
the records of that scope's skills directories: the source, revision,
digest and version of the copy just made (a linked skill's from the
central store's record, the authoritative one), and as targets the
runtimes whose record says the same content.  A skill with no record left
in the scope leaves the lock file, and a lock file left empty is deleted
(the central store with it, when it was made only for the lock file)."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from . import lockfile, records
from .common import detector, runtimes

PROJECT, USER = "project", "user"


@dataclass(frozen=True)
class Scope:
    kind: str  # PROJECT or USER
    root: Path  # where its lock file lives

    @property
    def lock(self) -> Path:
        return lockfile.path_of(self.root)

    def directories(self) -> dict[str, Path]:
        """runtime -> skills directory of this scope."""
        det = detector()
        if self.kind == USER:
            return {str(r): Path(p) for r, p in det.detect_all_install_targets()}
        return {r: Path(det.detect_install_target(cwd=self.root, preferred_runtime=r)[1])
                for r in runtimes()}


def project_scope(project: Path) -> Scope:
    return Scope(PROJECT, Path(os.path.abspath(project)))


def user_scope() -> Scope:
    from .store import central_store_dir

    return Scope(USER, central_store_dir())


def authoritative(skills_dir: Path, name: str) -> records.Record | None:
    """The record that says what skill `name` in `skills_dir` holds: its
    own, or for a link into the central store the store's record."""
    record = records.read(skills_dir, name)
    if record is not None and record.link is not None:
        stored = Path(record.link)
        own = records.read(stored.parent, stored.name)
        if own is not None and own.link is None:
            return records.Record(record.name, own.version, own.source, own.digest,
                                  link=record.link, revision=own.revision, path=own.path)
    return record


def sync(scope: Scope, names, prefer: dict[str, tuple[str, str]] | None = None) -> None:
    """Write the entries of `names` anew from the records of `scope`.
    `prefer` maps a name to the (digest, source) just installed, which wins
    when the scope's copies differ.  A lock file that does not exist is created only
    when there is something to put in it."""
    names = list(dict.fromkeys(names))
    if not names:
        return
    entries = lockfile.read(scope.lock)
    before = dict(entries)
    directories = scope.directories()
    for name in names:
        found: list[tuple[str, records.Record]] = []
        for runtime, directory in directories.items():
            if not os.path.lexists(directory / name):
                continue
            record = authoritative(directory, name)
            if record is not None:
                found.append((runtime, record))
        if not found:
            entries.pop(name, None)
            continue
        wanted = (prefer or {}).get(name)
        chosen = next((r for _, r in found if (r.digest, r.source) == wanted),
                      next((r for _, r in found if r.digest == (wanted or ("",))[0]),
                           found[0][1]))
        # Every copy with the same content is restored from the one source.
        targets = [runtime for runtime, r in found if r.digest == chosen.digest]
        entries[name] = lockfile.Entry(
            name, lockfile.portable(chosen.source, scope.root), chosen.revision or "",
            chosen.digest, chosen.version, targets, chosen.path,
            link=chosen.link is not None)
    if entries == before:
        return
    if entries:
        if scope.kind == USER and not os.path.isdir(scope.root):
            from .staging import make_dirs

            records.note_created(scope.root, make_dirs(scope.root))
        lockfile.write(scope.lock, entries)
    elif os.path.lexists(scope.lock):
        # The last skill went: the file this tool wrote goes too.
        os.unlink(scope.lock)
        if scope.kind == USER:
            records.remove_if_empty(scope.root)
