"""`init` and `check`: writing a skill of one's own.

`init NAME` lays out a skill that `check` accepts: `SKILL.md` with its YAML
front matter, and `data/VERSION.json`.  `check DIR` runs the same checks
`install` runs on a skill from any source (front matter, a plain name equal
to the directory's, files that stay inside it, the size limits), so a
skill that passes it installs."""

from __future__ import annotations

import json
import os
from pathlib import Path

from . import skill
from .common import EXIT_FAILURE, EXIT_OK, Refused, UsageError
from .i18n import _
from .options import path_arg
from .output import Outcome, table



def init_options(sub) -> None:
    sub.epilog = _("在 --dir（默认：当前目录）下创建 NAME/SKILL.md 与 NAME/data/VERSION.json；\n"
                   "目录已存在时拒绝（退出状态 1），不改动任何东西。")
    sub.positionals.add_argument("name", metavar="NAME", help=_("新 Skill 的名称"))
    sub.options.add_argument("--dir", metavar="DIR", type=path_arg, dest="parent",
                             help=_("在这个目录下创建（默认：当前目录）"))
    sub.options.add_argument("--description", metavar="TEXT",
                             help=_("SKILL.md 头信息中的说明"))


def check_options(sub) -> None:
    sub.epilog = _("检查 SKILL.md 的 YAML 头信息（name 与 description）、名称（普通目录名，\n"
                   "与目录名一致）、data/VERSION.json、指向目录外的链接和特殊文件，以及大小\n"
                   "限制：install 从任何来源安装前做的也是这些检查。\n"
                   "退出状态：0 没有问题；1 发现问题。")
    sub.positionals.add_argument("directory", metavar="DIR", type=path_arg,
                                 help=_("Skill 目录"))


def cmd_init(args) -> Outcome:
    problem = skill.name_problem(args.name)
    if problem is not None:
        raise UsageError(problem)
    if args.name.startswith(skill.RESERVED_PREFIX):
        raise Refused(_("名称 {name!r} 是本工具保留的名字").format(name=args.name))
    parent = args.parent or Path.cwd()
    if not parent.is_dir():
        raise UsageError(_("不是目录: {path}").format(path=parent))
    directory = parent / args.name
    description = args.description or _("说明这个 Skill 做什么、何时使用。")
    if "\n" in description:
        raise UsageError(_("说明只能有一行"))
    import yaml

    front = yaml.safe_dump({"name": args.name, "description": description},
                           allow_unicode=True, sort_keys=False, width=1 << 16)
    text = "---\n" + front + "---\n\n# " + args.name + "\n\n" + _(
        "在这里写给 AI 编码工具的说明：它应当做什么、按什么步骤、注意什么。") + "\n"
    os.mkdir(directory)
    try:
        (directory / "data").mkdir()
        with open(directory / skill.SKILL_FILE, "x", encoding="utf-8") as stream:
            stream.write(text)
        with open(directory.joinpath(*skill.VERSION_FILE), "x", encoding="utf-8") as stream:
            stream.write(json.dumps({"version": "0.1.0"}, indent=2) + "\n")
    except BaseException:
        from .staging import delete

        delete(directory)
        raise
    files = [str(directory / skill.SKILL_FILE), str(directory.joinpath(*skill.VERSION_FILE))]
    document = {"name": args.name, "path": str(directory), "files": files}
    lines = [_("已创建 Skill {name}: {path}").format(name=args.name, path=directory),
             *[f"  {f}" for f in files],
             _("编辑 SKILL.md 后用 tarvek-skills check {path} 检查，"
               "tarvek-skills install {path} 安装。").format(path=directory)]
    return Outcome(EXIT_OK, document, lines)


def cmd_check(args) -> Outcome:
    directory = args.directory
    info, problems = skill.check(directory, expected_name=Path(os.path.abspath(directory)).name)
    document = {"path": str(directory), "ok": not problems,
                "skill": None if info is None else info.as_json(), "problems": problems}
    lines = [_("检查 Skill: {path}").format(path=directory)]
    if info is not None:
        lines.append(_("名称 {name}，版本 {version}").format(
            name=info.name, version=info.version or _("（未知）")))
    lines += table([_("问题")], [[p] for p in problems], empty=_("未发现问题"))
    return Outcome(EXIT_FAILURE if problems else EXIT_OK, document, lines)
