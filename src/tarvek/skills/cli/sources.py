"""Where skills come from: a built-in template, a directory (one skill, or
a folder of skills), a `.zip` or `.tar.gz` archive on disk or at an
`https://` URL, or a git repository (`git+https://`, `git+ssh://`,
`git+file://`, with an optional `#REF`).

A source is fetched into a scratch directory and every skill found in it
is copied once more, *prepared*: without `.git` and packaging junk, checked
as hostile input (`skill.check`: its name, front matter, links and limits),
and given its content digest.  Installs stage from the prepared copies,
so what is installed is exactly what was checked and digested.

Each source has a *revision*, what `update` compares to tell a newer one:
the commit of a repository, "sha256:..." of an archive's bytes, the
content digest of a directory, and this tool's version for a built-in."""

from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path

from . import skill
from .common import DISTRIBUTION, UsageError, packaging, version
from .hints import suggest
from .i18n import _, join

BUILTIN, PATH, ARCHIVE, URL, GIT = "builtin", "path", "archive", "url", "git"
BUILTIN_PREFIX = "builtin:"
_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


@dataclass(frozen=True)
class Source:
    kind: str
    spec: str  # as recorded: builtin:NAME, an absolute path, a URL, git+URL[#REF]

    def location(self) -> str:
        return self.spec[len(BUILTIN_PREFIX):] if self.kind == BUILTIN else self.spec


@dataclass
class Found:
    """One skill of a fetched source, prepared to be installed."""

    info: skill.SkillInfo
    prepared: Path
    source: Source
    subpath: str  # where it lies in the source, "/"-separated; "" for the source itself
    revision: str
    digest: str

    @property
    def name(self) -> str:
        return self.info.name


def builtin_templates() -> dict[str, Path]:
    return {p.name: Path(p) for p in packaging().list_template_dirs()}


def parse(text: str, base: Path | None = None) -> Source:
    """The source a command-line word (or a lock file's entry, with `base`
    its directory) names."""
    if not text:
        raise UsageError(_("来源不能为空"))
    if text.startswith(BUILTIN_PREFIX):
        name = text[len(BUILTIN_PREFIX):]
        templates = builtin_templates()
        if name not in templates:
            raise UsageError(_("不是内置 Skill 模板的名称: {name!r}（可用: {names}）{hint}").format(
                name=name, names=join(sorted(templates)) or _("（无）"),
                hint=suggest(name, templates)))
        return Source(BUILTIN, text)
    if text.startswith("git+"):
        from . import gitsource

        if not gitsource.valid(text):
            raise UsageError(_("不支持的 git 来源 {spec!r}：只接受 git+https://、git+ssh:// 和 "
                               "git+file://，可带 #REF").format(spec=text))
        return Source(GIT, text)
    if text.startswith("https://"):
        return Source(URL, text)
    if _SCHEME.match(text):
        raise UsageError(_("不支持的来源 {spec!r}：URL 只接受 https://（归档）"
                           "和 git+…（仓库）").format(spec=text))
    path = Path(os.path.expanduser(text))
    if base is not None and not path.is_absolute():
        path = base / path
    looks_like_path = os.sep in text or text.startswith((".", "~"))
    if not looks_like_path:
        templates = builtin_templates()
        if text in templates:
            return Source(BUILTIN, BUILTIN_PREFIX + text)
        if not os.path.lexists(path):
            raise UsageError(_("不是内置 Skill 模板的名称，也不是存在的路径: {name!r}"
                               "（内置模板: {names}）{hint}").format(
                name=text, names=join(sorted(templates)) or _("（无）"),
                hint=suggest(text, templates)))
    if not os.path.lexists(path):
        raise UsageError(_("来源不存在: {path}").format(path=text))
    absolute = os.path.abspath(path)
    if os.path.isdir(absolute):
        return Source(PATH, absolute)
    return Source(ARCHIVE, absolute)


def tool_revision() -> str:
    known = version()
    return f"{DISTRIBUTION} {known}" if known else DISTRIBUTION


# --------------------------------------------------------------------------
# Finding the skills of a fetched tree


def _skill_dirs(root: Path) -> list[tuple[Path, str]]:
    """(directory, path in the source) of every skill: the root itself, its
    subdirectories holding a SKILL.md, those of its `skills` directory; an
    archive's one top directory is looked into the same way."""
    def children(directory: Path, prefix: str) -> list[tuple[Path, str]]:
        try:
            entries = sorted(directory.iterdir(), key=lambda p: os.fsencode(p.name))
        except OSError:
            return []
        return [(p, f"{prefix}{p.name}") for p in entries
                if not p.name.startswith(".") and not p.is_symlink() and p.is_dir()
                and skill.is_skill(p)]

    for top, prefix in _tops(root):
        if skill.is_skill(top):
            return [(top, prefix.rstrip("/"))]
        found = children(top, prefix)
        if not found and (top / "skills").is_dir() and not (top / "skills").is_symlink():
            found = children(top / "skills", f"{prefix}skills/")
        if found:
            return found
    return []


def _tops(root: Path) -> list[tuple[Path, str]]:
    tops = [(root, "")]
    try:
        entries = [p for p in root.iterdir() if not p.name.startswith(".")]
    except OSError:
        entries = []
    if len(entries) == 1 and entries[0].is_dir() and not entries[0].is_symlink():
        tops.append((entries[0], f"{entries[0].name}/"))
    return tops


def _ignore_git(directory, names):
    return [n for n in names if n == ".git"]


class Fetcher:
    """Fetches sources into one scratch directory, deleted when done."""

    def __init__(self):
        self._scratch = None  # made when the first source is fetched
        self._count = 0
        self.cache: dict[tuple[str, str | None], list[Found]] = {}

    def __enter__(self) -> "Fetcher":
        return self

    def __exit__(self, *exc) -> bool:
        if self._scratch is not None:
            self._scratch.cleanup()
        return False

    def _new_dir(self, what: str) -> Path:
        if self._scratch is None:
            import tempfile

            self._scratch = tempfile.TemporaryDirectory(prefix="tarvek-skills-")
        self._count += 1
        return Path(self._scratch.name) / f"{self._count}-{what}"

    def fetch(self, source: Source, revision: str | None = None) -> list[Found]:
        """Every skill of `source` (at `revision` for a repository, when
        given), prepared; refused as a whole if any of them is refused."""
        key = (source.spec, revision)
        if key not in self.cache:
            self.cache[key] = self._fetch(source, revision)
        return self.cache[key]

    def _fetch(self, source: Source, revision: str | None) -> list[Found]:
        from . import archive

        if source.kind == BUILTIN:
            name = source.location()
            return [self._prepare_builtin(name, builtin_templates()[name], source)]
        label = source.spec
        if source.kind == PATH:
            root, revision_of = Path(source.spec), None
        elif source.kind == ARCHIVE:
            from .download import file_sha

            root = self._new_dir("unpacked")
            root.mkdir()
            archive.unpack(Path(source.spec), root)
            revision_of = file_sha(Path(source.spec))
        elif source.kind == URL:
            from .download import fetch

            downloaded = self._new_dir("download")
            revision_of = fetch(source.spec, downloaded)
            root = self._new_dir("unpacked")
            root.mkdir()
            archive.unpack(downloaded, root, label=source.spec)
        else:
            from . import gitsource

            root = self._new_dir("checkout")
            revision_of = gitsource.clone(source.spec, root, revision)
        dirs = _skill_dirs(root)
        if not dirs:
            raise skill.SkillError(_("来源中没有 Skill（含 SKILL.md 的目录）: {source}").format(
                source=label))
        found = [self._prepare(directory, subpath, source, revision_of)
                 for directory, subpath in dirs]
        names = [f.name for f in found]
        duplicates = sorted({n for n in names if names.count(n) > 1})
        if duplicates:
            raise skill.SkillError(_("来源 {source} 中有多个同名的 Skill: {names}").format(
                source=label, names=join(duplicates)))
        return found

    def _prepare(self, directory: Path, subpath: str, source: Source,
                 revision: str | None) -> Found:
        from .tree import digest

        what = f"{source.spec}" + (f" ({subpath})" if subpath else "")
        problems = skill._tree_problems(directory)
        if problems:
            raise skill.SkillError(_("拒绝 {what}: {reason}").format(what=what,
                                                                     reason=problems[0]))
        prepared = self._new_dir("skill")
        shutil.copytree(directory, prepared, symlinks=True, ignore=_ignore_git)
        packaging()._remove_packaging_junk(prepared)
        info = skill.read(prepared, what)
        info = skill.SkillInfo(info.name, info.description, info.version, directory)
        content = digest(prepared)
        return Found(info, prepared, source, subpath,
                     revision if revision is not None else content, content)

    def _prepare_builtin(self, name: str, template: Path, source: Source) -> Found:
        from .tree import digest

        prepared = self._new_dir("skill")
        shutil.copytree(template, prepared, copy_function=shutil.copy2)
        packaging()._remove_packaging_junk(prepared)
        info, _problems = skill.check_light(prepared)
        from .model import template_versions

        version = template_versions().get(name, "")
        description = info.description if info is not None else ""
        return Found(skill.SkillInfo(name, description, version, template), prepared, source,
                     "", tool_revision(), digest(prepared))


def pick(found: list[Found], wanted: list[str] | None, source: Source) -> list[Found]:
    """The skills `--skill` names (all when none), each refused if absent."""
    if not wanted:
        return found
    names = {f.name: f for f in found}
    missing = [w for w in wanted if w not in names]
    if missing:
        raise UsageError(_("来源 {source} 中没有 Skill {name!r}（有: {names}）{hint}").format(
            source=source.spec, name=missing[0], names=join(sorted(names)),
            hint=suggest(missing[0], names)))
    return [f for f in found if f.name in wanted]
