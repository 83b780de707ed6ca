"""The table of subcommands: for each, the module that holds it, its
handler, the function that adds its options, and the one-line summary that
`tarvek-skills --help` lists.

A subcommand's module is imported only when that subcommand is parsed (or
when completion needs the whole command line): the table itself imports
none of them.  A handler takes the parsed arguments and returns an
`output.Outcome`; an options function takes the subcommand's parser (see
`parsing.Parser`) and adds its options, positionals and epilog with the
helpers of `options`."""

from __future__ import annotations

import importlib

from .i18n import N_


class Command:
    """One subcommand.  A plain class: the table is read on every run, so it
    costs no more to load than the names it holds."""

    __slots__ = ("module", "handler", "options", "summary", "aliases")

    def __init__(self, module: str, handler: str, options: str | None, summary: str,
                 aliases: tuple[str, ...] = ()):
        self.module = module  # relative to this package
        self.handler = handler
        self.options = options
        self.summary = summary  # marked for the catalogs; translated where it is shown
        self.aliases = aliases

    def __repr__(self) -> str:
        return (f"Command({self.module!r}, {self.handler!r}, {self.options!r}, "
                f"{self.summary!r}, {self.aliases!r})")


COMMANDS: dict[str, Command] = {
    "locations": Command("release", "cmd_locations", None,
                         N_("显示中央 Skills 目录、内置模板目录和当前构建 profile。")),
    "validate": Command("release", "cmd_validate", "validate_options",
                        N_("校验源模板树：发版清单与模板目录是否一致，每行一个问题。")),
    "select": Command("release", "cmd_select", "select_options",
                      N_("列出指定 profile 与产物准入的 Skill。")),
    "prune": Command("release", "cmd_prune", "prune_options",
                     N_("修剪一份复制出的模板目录，只保留准入的 Skill，并列出保留的 Skill。")),
    "datas": Command("release", "cmd_datas", "datas_options",
                     N_("列出单文件打包所需的 (源文件, 目标目录) 对。")),
    "list": Command("installed", "cmd_list", "list_options",
                    N_("列出已安装的 Skill：名称、版本、运行时、范围、状态和目录。"), ("ls",)),
    "outdated": Command("installed", "cmd_outdated", "outdated_options",
                        N_("列出来源中有更新版本或修订的已安装 Skill。")),
    "targets": Command("installed", "cmd_targets", "targets_options",
                       N_("列出安装目标：运行时与 Skills 目录。")),
    "install": Command("install", "cmd_install", "install_options",
                       N_("从内置模板、目录、归档、URL 或 git 仓库安装 Skill；"
                          "不给来源时按锁文件安装。"),
                       ("add",)),
    "remove": Command("installed", "cmd_remove", "remove_options",
                      N_("从每个选定目标删除已安装的 Skill NAME。"), ("rm", "uninstall")),
    "update": Command("update", "cmd_update", "update_options",
                      N_("把已安装的 Skill 更新到其来源的最新修订。")),
    "info": Command("lookup", "cmd_info", "info_options",
                    N_("显示 Skill 的说明、版本、来源和安装位置。")),
    "search": Command("lookup", "cmd_search", "search_options",
                      N_("在内置模板和 --from 给出的来源中搜索 Skill。")),
    "init": Command("authoring", "cmd_init", "init_options",
                    N_("创建一个新 Skill 的骨架（能通过 check）。")),
    "check": Command("authoring", "cmd_check", "check_options",
                     N_("检查一个 Skill 目录：头信息、名称与文件。")),
    "doctor": Command("doctor", "cmd_doctor", "doctor_options",
                      N_("检查构建 profile、模板目录、已安装的 Skill、锁文件与中断安装的遗留。")),
    "verify": Command("verify", "cmd_verify", "verify_options",
                      N_("检查构建产物（wheel、sdist、单文件程序解包目录或模板目录）"
                         "携带的 Skill。")),
    "completion": Command("completion", "cmd_completion", "completion_options",
                          N_("输出 bash、zsh 或 fish 的补全脚本（由命令行解析器生成）。")),
}

ALIASES: dict[str, str] = {alias: name for name, command in COMMANDS.items()
                           for alias in command.aliases}


def canonical(name: str) -> str:
    """The subcommand an alias stands for (a name stands for itself)."""
    return ALIASES.get(name, name)


def module_of(name: str):
    return importlib.import_module(f".{COMMANDS[name].module}", __package__)


def handler(name: str):
    return getattr(module_of(name), COMMANDS[name].handler)


def add_options(name: str, sub) -> None:
    options = COMMANDS[name].options
    if options is not None:
        getattr(module_of(name), options)(sub)
