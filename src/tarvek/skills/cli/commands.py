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
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable


@dataclass(frozen=True)
class Command:
    module: str  # relative to this package
    handler: str
    options: str | None
    summary: str


COMMANDS: dict[str, Command] = {
    "locations": Command("release", "cmd_locations", None,
                         "显示中央 Skills 目录、内置模板目录和当前构建 profile。"),
    "validate": Command("release", "cmd_validate", "validate_options",
                        "校验源模板树：发版清单与模板目录是否一致，每行一个问题。"),
    "select": Command("release", "cmd_select", "select_options",
                      "列出指定 profile 与产物准入的 Skill。"),
    "prune": Command("release", "cmd_prune", "prune_options",
                     "修剪一份复制出的模板目录，只保留准入的 Skill，并列出保留的 Skill。"),
    "datas": Command("release", "cmd_datas", "datas_options",
                     "列出单文件打包所需的 (源文件, 目标目录) 对。"),
    "list": Command("installed", "cmd_list", "list_options",
                    "列出已安装的 Skill：名称、版本、运行时、范围和目录。"),
    "outdated": Command("installed", "cmd_outdated", "outdated_options",
                        "列出比随工具发布的内置模板更旧的已安装 Skill。"),
    "targets": Command("installed", "cmd_targets", "targets_options",
                       "列出安装目标：运行时与 Skills 目录。"),
    "install": Command("installed", "cmd_install", "install_options",
                       "把内置模板 NAME 复制到每个选定目标的 skills/NAME。"),
    "remove": Command("installed", "cmd_remove", "remove_options",
                      "从每个选定目标删除已安装的 Skill NAME。"),
    "update": Command("installed", "cmd_update", "update_options",
                      "把比内置模板旧的已安装 Skill 更新为内置模板的新副本。"),
    "doctor": Command("doctor", "cmd_doctor", "doctor_options",
                      "检查构建 profile、模板目录、已安装的 Skill 与中断安装的遗留。"),
    "verify": Command("verify", "cmd_verify", "verify_options",
                      "检查构建产物（wheel、sdist、单文件程序解包目录或模板目录）携带的 Skill。"),
    "completion": Command("completion", "cmd_completion", "completion_options",
                          "输出 bash 或 zsh 的补全脚本（由命令行解析器生成）。"),
}


def module_of(name: str) -> ModuleType:
    return importlib.import_module(f".{COMMANDS[name].module}", __package__)


def handler(name: str) -> Callable[[Any], Any]:
    return getattr(module_of(name), COMMANDS[name].handler)


def add_options(name: str, sub) -> None:
    options = COMMANDS[name].options
    if options is not None:
        getattr(module_of(name), options)(sub)
