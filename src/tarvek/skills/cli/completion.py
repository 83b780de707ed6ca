"""Shell completion scripts, generated from the parser by shtab."""

from __future__ import annotations

from .common import EXIT_OK
from .output import Outcome
from .parsing import choice_arg

SHELLS = ("bash", "zsh")


def register(command, parser) -> None:
    sub = command("completion", "输出 bash 或 zsh 的补全脚本（由命令行解析器生成）。",
                  cmd_completion,
                  epilog="例如：tarvek-skills completion bash > ~/.local/share/bash-completion/"
                  "completions/tarvek-skills\n"
                  "      tarvek-skills completion zsh > \"${fpath[1]}/_tarvek-skills\"")
    sub.positionals.add_argument("shell", metavar="SHELL", type=choice_arg("shell", SHELLS),
                                 help="bash 或 zsh")


def cmd_completion(args) -> Outcome:
    import shtab

    from .parsing import build_parser

    script = shtab.complete(build_parser(), shell=args.shell)
    return Outcome(EXIT_OK, {"shell": args.shell, "script": script}, script.splitlines())
