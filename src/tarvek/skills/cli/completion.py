"""Shell completion scripts, generated from the parser by shtab."""

from __future__ import annotations

from .common import EXIT_OK
from .options import choice_arg
from .output import Outcome

SHELLS = ("bash", "zsh")


def completion_options(sub) -> None:
    sub.epilog = ("例如：tarvek-skills completion bash > ~/.local/share/bash-completion/"
                  "completions/tarvek-skills\n"
                  "      tarvek-skills completion zsh > \"${fpath[1]}/_tarvek-skills\"")
    sub.positionals.add_argument("shell", metavar="SHELL", type=choice_arg("shell", SHELLS),
                                 help="bash 或 zsh")


def cmd_completion(args) -> Outcome:
    """The script for the command line that parsed `args`, with every
    subcommand's options."""
    import shtab

    script = shtab.complete(args.parser.complete(), shell=args.shell)
    return Outcome(EXIT_OK, {"shell": args.shell, "script": script}, script.splitlines())
