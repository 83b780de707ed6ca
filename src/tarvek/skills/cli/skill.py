"""What a skill is, as this command reads one from any source: a directory
holding `SKILL.md`, whose YAML front matter names the skill (`name`) and says
what it is for (`description`), and optionally `data/VERSION.json` with its
version.

A skill from elsewhere is hostile input: its name must be a plain directory
name (it becomes one), its files must stay inside it (no link that leads
out, no device or FIFO), and it must fit the limits an archive is held to.
`check` lists every problem of a skill directory; `read` gives its
description or refuses it with the first problem."""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass
from pathlib import Path

from . import limits, tree
from .common import Refused
from .i18n import _

SKILL_FILE = "SKILL.md"
VERSION_FILE = ("data", "VERSION.json")
MAX_NAME = 64
MAX_DESCRIPTION = 1024
MAX_SKILL_FILE = 1 << 20

# What a name of ours may not be: the tool's own bookkeeping beside the skills.
RESERVED_PREFIX = ".tarvek-"
_FRONT_MATTER = re.compile(r"\A---[ \t]*\r?\n(.*?)^---[ \t]*\r?$", re.S | re.M)


class SkillError(Refused):
    """A skill that cannot be installed as it is."""


@dataclass(frozen=True)
class SkillInfo:
    name: str
    description: str
    version: str  # "" when the skill has no version file
    path: Path  # its directory

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, "description": self.description,
                "version": self.version or None, "path": str(self.path)}


def name_problem(name: object) -> str | None:
    """Why `name` cannot name a skill directory, or None: it must be one
    plain path component, not hidden, without control characters or
    surrounding spaces, of at most MAX_NAME characters."""
    from .common import single_name
    from .output import printable

    if not isinstance(name, str) or not name.strip():
        return _("名称必须是非空字符串")
    if not single_name(name) or name.startswith("."):
        return _("名称 {name!r} 不是普通的目录名（不能含路径分隔符，不能以 . 开头）").format(
            name=name)
    if printable(name) != name or name != name.strip():
        return _("名称 {name!r} 含有控制字符或首尾空白").format(name=printable(name))
    if len(name) > MAX_NAME:
        return _("名称超过 {count} 个字符").format(count=MAX_NAME)
    return None


def front_matter(text: str) -> dict:
    """The YAML mapping at the top of a SKILL.md, between two lines of
    `---`; ValueError with the reason otherwise."""
    import yaml

    match = _FRONT_MATTER.match(text.lstrip("\ufeff"))
    if match is None:
        raise ValueError(_("开头没有以 --- 包围的 YAML 头信息"))
    try:
        data = yaml.safe_load(match.group(1))
    except yaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        where = _("（第 {line} 行）").format(line=mark.line + 2) if mark is not None else ""
        raise ValueError(_("头信息不是有效的 YAML{where}").format(where=where)) from None
    if not isinstance(data, dict):
        raise ValueError(_("头信息必须是键值映射"))
    return data


def _read_small(path: Path, limit: int) -> str:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
                 | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb") as stream:
        if not os.path.isfile(path) or os.fstat(fd).st_size > limit:
            raise ValueError(_("不是普通文件或超过 {size} 字节").format(size=limit))
        return stream.read(limit + 1).decode("utf-8")


def _version(directory: Path, problems: list[str]) -> str:
    path = directory.joinpath(*VERSION_FILE)
    if not os.path.lexists(path):
        return ""
    try:
        data = json.loads(_read_small(path, 1 << 16))
    except (OSError, ValueError) as exc:
        problems.append(_("data/VERSION.json 无法读取: {reason}").format(reason=exc))
        return ""
    version = data.get("version") if isinstance(data, dict) else None
    if not isinstance(version, str) or not version.strip():
        problems.append(_("data/VERSION.json 没有字符串成员 version"))
        return ""
    return version


def _link_leaves(parts: tuple[str, ...], target: str) -> bool:
    """Whether a link at `parts` (relative to the skill) with target
    `target` names something outside the skill directory."""
    if not target or os.path.isabs(target):
        return True
    joined = os.path.normpath(os.path.join(*parts[:-1], target))
    return joined == ".." or joined.startswith("../")


def _tree_problems(directory: Path) -> list[str]:
    problems = []
    count = total = 0
    for entry in tree.walk(directory):
        count += 1
        if count > limits.MAX_MEMBERS:
            return [_("文件超过 {count} 个").format(count=limits.MAX_MEMBERS)]
        where = entry.relative()
        if entry.kind == tree.FILE:
            total += entry.stat.st_size
            if total > limits.MAX_TOTAL:
                return [_("文件合计超过 {size} MiB").format(size=limits.MAX_TOTAL >> 20)]
        elif entry.kind == tree.LINK:
            target = os.readlink(entry.name, dir_fd=entry.dir_fd)
            if _link_leaves(entry.parts, target):
                problems.append(_("符号链接指向 Skill 目录之外: {path} -> {target}").format(
                    path=where, target=target))
        elif entry.kind == tree.OTHER:
            problems.append(_("不是普通文件、目录或符号链接: {path}").format(path=where))
    return problems


def check(directory: Path, expected_name: str | None = None) -> tuple[SkillInfo | None, list[str]]:
    """(what the skill says of itself, or None, and every problem found)."""
    directory = Path(directory)
    problems: list[str] = []
    if not directory.is_dir():
        return None, [_("不是目录: {path}").format(path=directory)]
    skill_file = directory / SKILL_FILE
    if os.path.islink(skill_file) or not skill_file.is_file():
        return None, [_("缺少 SKILL.md（或它不是普通文件）")]
    try:
        data = front_matter(_read_small(skill_file, MAX_SKILL_FILE))
    except UnicodeDecodeError:
        return None, [_("SKILL.md 不是 UTF-8 文本")]
    except (OSError, ValueError) as exc:
        return None, [_("SKILL.md: {reason}").format(reason=exc)]
    name, description = data.get("name"), data.get("description")
    problem = name_problem(name)
    if problem is not None:
        problems.append(_("SKILL.md 的 name: {reason}").format(reason=problem))
    elif name.startswith(RESERVED_PREFIX):
        problems.append(_("SKILL.md 的 name {name!r} 是本工具保留的名字").format(name=name))
    if not isinstance(description, str) or not description.strip():
        problems.append(_("SKILL.md 的 description 必须是非空字符串"))
    elif len(description) > MAX_DESCRIPTION:
        problems.append(_("SKILL.md 的 description 超过 {count} 个字符").format(
            count=MAX_DESCRIPTION))
    if (expected_name is not None and isinstance(name, str) and problem is None
            and name != expected_name):
        problems.append(_("SKILL.md 的 name {name!r} 与目录名 {directory!r} 不一致").format(
            name=name, directory=expected_name))
    version = _version(directory, problems)
    problems += _tree_problems(directory)
    if problem is not None or not isinstance(description, str):
        return None, problems
    return SkillInfo(name, description.strip(), version, directory), problems


def read(directory: Path, what: str) -> SkillInfo:
    """The skill in `directory`, or SkillError naming `what` (where it came
    from) and its first problem."""
    info, problems = check(directory)
    if problems or info is None:
        raise SkillError(_("拒绝 {what}: {reason}").format(what=what, reason=problems[0]))
    return info


def is_skill(directory: Path) -> bool:
    return (directory / SKILL_FILE).is_file()


def describe(directory: Path) -> SkillInfo | None:
    """What a skill says of itself, for listing: None when it cannot be read."""
    info, _problems = check_light(directory)
    return info


def check_light(directory: Path) -> tuple[SkillInfo | None, list[str]]:
    """`check` without the walk of the whole tree: the front matter and the
    version only."""
    directory = Path(directory)
    try:
        data = front_matter(_read_small(directory / SKILL_FILE, MAX_SKILL_FILE))
    except (OSError, ValueError) as exc:
        return None, [str(exc)]
    name, description = data.get("name"), data.get("description")
    if not isinstance(name, str) or not isinstance(description, str):
        return None, []
    problems: list[str] = []
    return SkillInfo(name, description.strip(), _version(directory, problems), directory), problems
