"""The lock file: what a project installed, so that another checkout gets
exactly the same skills.

`tarvek-skills.lock` in the project's root (per user: in the central
store), TOML, one table per skill under `[skills]`, in the order of the
names, each with its keys in one order, so that a change reads as a small
diff:

    [skills.ops-safety]
    source = "builtin:ops-safety"      # or a path, an https:// URL, git+…#REF
    path = "skills/ops-safety"         # where it lies in its source, if not at the top
    revision = "3f1c…"                 # the commit, archive hash or content digest
    digest = "sha256:…"                # the content as installed (tree.digest)
    version = "1.0.0"
    targets = ["claude", "codex"]      # the runtimes it was installed for
    link = true                        # a link into the central store, if so

It is written from the install records (`records`) after each change, and
`install` with no SOURCE installs what it says: the same revision, refused
unless the content has the same digest.  A path inside the project is kept
relative to it, so that the file means the same in every checkout."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

from .common import UsageError
from .i18n import _

LOCK_NAME = "tarvek-skills.lock"
FORMAT = 1
_HEADER = ("# The skills this project installed, written by tarvek-skills; "
           "`tarvek-skills install`\n# with no arguments installs exactly these. "
           "Do not edit by hand.\n")


class LockError(UsageError):
    kind = "lock"


@dataclass
class Entry:
    name: str
    source: str
    revision: str
    digest: str
    version: str = ""
    targets: list[str] = field(default_factory=list)
    path: str = ""
    link: bool = False

    def as_toml(self) -> dict[str, object]:
        table: dict[str, object] = {"source": self.source}
        if self.path:
            table["path"] = self.path
        table.update(revision=self.revision, digest=self.digest, version=self.version,
                     targets=sorted(set(self.targets), key=_runtime_order))
        if self.link:
            table["link"] = True
        return table

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, **self.as_toml(), "link": self.link}


def _runtime_order(runtime: str):
    from .common import runtimes

    order = runtimes()
    return (order.index(runtime) if runtime in order else len(order), runtime)


def path_of(directory: Path) -> Path:
    return Path(directory) / LOCK_NAME


def read(path: Path) -> dict[str, Entry]:
    """The entries of the lock file at `path` ({} when there is none)."""
    import tomllib

    from .skill import name_problem

    try:
        if os.path.islink(path) or (os.path.exists(path) and not os.path.isfile(path)):
            raise LockError(_("锁文件不是普通文件: {path}").format(path=path))
        with open(path, "rb") as stream:
            data = tomllib.loads(stream.read(16 << 20).decode("utf-8"))
    except FileNotFoundError:
        return {}
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise LockError(_("锁文件无法解析: {path}: {reason}").format(path=path,
                                                                   reason=exc)) from None
    if data.get("version") != FORMAT or not isinstance(data.get("skills", {}), dict):
        raise LockError(_("锁文件的格式不受支持（需要 version = {format}）: {path}").format(
            format=FORMAT, path=path))
    entries = {}
    for name, table in data.get("skills", {}).items():
        problem = name_problem(name)
        strings = ("source", "revision", "digest")
        if (problem is not None or not isinstance(table, dict)
                or not all(isinstance(table.get(k), str) and table.get(k) for k in strings)
                or not isinstance(table.get("version", ""), str)
                or not isinstance(table.get("path", ""), str)
                or not isinstance(table.get("link", False), bool)
                or not isinstance(table.get("targets", []), list)
                or not all(isinstance(t, str) for t in table.get("targets", []))):
            raise LockError(_("锁文件中 Skill {name!r} 的条目无效: {path}").format(
                name=name, path=path))
        entries[name] = Entry(name, table["source"], table["revision"], table["digest"],
                              table.get("version", ""), list(table.get("targets", [])),
                              table.get("path", ""), table.get("link", False))
    return entries


def write(path: Path, entries: dict[str, Entry]) -> None:
    import tomli_w

    from .records import _write_whole

    document = {"version": FORMAT,
                "skills": {name: entries[name].as_toml() for name in sorted(entries)}}
    _write_whole(Path(path), _HEADER + tomli_w.dumps(document))


def portable(spec: str, base: Path) -> str:
    """A source as the lock file keeps it: a path below `base` relative to
    it (written ./…), anything else as it is."""
    if not os.path.isabs(spec):
        return spec
    try:
        relative = Path(spec).relative_to(os.path.abspath(base))
    except ValueError:
        return spec
    return "./" + relative.as_posix() if relative.parts else "."
