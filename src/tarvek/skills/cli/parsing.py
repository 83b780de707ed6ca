"""The command line: argparse, in the language of the rest of the command.

argparse's own hooks keep its own texts away from the user: every value is
checked by a `type` function or an `Action` that raises our own message,
required options, required positionals and conflicting ones are checked here
rather than by argparse, a value given to an option that takes none
(`--json=1`) is refused before argparse sees it, and the messages argparse
can still produce by itself (a missing option value) are looked up by their
message id in a small table and translated with the rest (`i18n`).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable

from . import commands
from .commands import ALIASES
from .common import EXIT_OK, PROG, UsageError, version_text
from .i18n import N_, _, join

# argparse message ids without parameters that reach the user, and ours for them.
_ARGPARSE_CATALOG = {
    "expected one argument": N_("需要一个值"),
    "expected at most one argument": N_("最多接受一个值"),
    "expected at least one argument": N_("至少需要一个值"),
}


def subcommands_metavar() -> str:
    return _("<子命令>")


def _columns() -> int:
    """The width of the terminal as `shutil.get_terminal_size()` tells it
    (COLUMNS, else the terminal of standard output, else 80), without
    loading shutil and the compression modules it brings for a help text."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        # argparse's own default, the terminal's width less two.
        super().__init__(prog, indent_increment, max_help_position,
                         _columns() - 2 if width is None else width)

    def add_usage(self, usage, actions, groups, prefix=None):
        super().add_usage(usage, actions, groups, prefix=_("用法: ") if prefix is None else prefix)


class _Parsers(dict):
    """A subcommand's name (or alias) → its parser, made the first time it
    is looked up: a run parses one subcommand, and `--help` lists them all
    from their summaries, so the others are never made.  `made()` holds
    the parsers made so far."""

    def __init__(self, make: Callable[[str], "Parser"]):
        super().__init__()
        self._make = make

    def __getitem__(self, name: str) -> "Parser":
        parser = super().__getitem__(name)
        return self._make(name) if parser is None else parser

    def get(self, name, default=None):
        return self[name] if name in self else default

    def values(self):
        return [self[name] for name in self]

    def items(self):
        return [(name, self[name]) for name in self]

    def made(self) -> list["Parser"]:
        return [parser for parser in super().values() if parser is not None]


class _Subcommands(argparse._SubParsersAction):
    """argparse's subcommands, each parser made when first used (`_Parsers`):
    `add_parser` takes `setup`, which adds the new parser's arguments."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._name_parser_map = self.choices = _Parsers(self._make)
        self._pending: dict[str, tuple[dict, tuple[str, ...], Callable]] = {}

    def add_parser(self, name, *, setup, aliases=(), **kwargs):
        if kwargs.get("prog") is None:
            kwargs["prog"] = f"{self._prog_prefix} {name}"
        for word in (name, *aliases):
            if word in self._name_parser_map:
                raise ValueError(f"two subcommands named {word}")
        if "help" in kwargs:
            self._choices_actions.append(self._ChoicesPseudoAction(name, aliases,
                                                                   kwargs.pop("help")))
        for word in (name, *aliases):
            dict.__setitem__(self._name_parser_map, word, None)
            self._pending[word] = (kwargs, (name, *aliases), setup)

    def _make(self, word: str) -> "Parser":
        kwargs, names, setup = self._pending[word]
        parser = self._parser_class(**kwargs)
        for name in names:
            dict.__setitem__(self._name_parser_map, name, parser)
            del self._pending[name]
        setup(parser)
        return parser


class _Positionals:
    """The group of positional arguments of a parser.  A positional added here is checked
    after parsing, with the required options, instead of by argparse (whose
    message for a missing positional is English); argparse still shows it
    and consumes it as a required one."""

    def __init__(self, parser: "Parser", group):
        self._parser = parser
        self._group = group

    def add_argument(self, *args, **kwargs):
        action = self._group.add_argument(*args, **kwargs)
        if action.required:
            action.required = False
            name = action.metavar if isinstance(action.metavar, str) else action.dest.upper()
            self._parser.required_options.append((action.dest, name))
        return action


class Parser(argparse.ArgumentParser):
    """A parser that raises `UsageError` with a Chinese message instead of
    printing argparse's usage and exiting."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("formatter_class", Formatter)
        kwargs.setdefault("add_help", False)
        kwargs.setdefault("allow_abbrev", False)
        kwargs.setdefault("exit_on_error", False)
        super().__init__(*args, **kwargs)
        # (dest, option or metavar) pairs that must be given, checked after parsing.
        self.required_options: list[tuple[str, str]] = []
        self.positionals = _Positionals(self, self.add_argument_group(_("位置参数")))
        self.options = self.add_argument_group(_("选项"))
        self.options.add_argument("-h", "--help", action=HelpAction, help=_("显示本帮助并退出"))
        self._deferred: Callable[[Parser], None] | None = None
        # Whether the command line asks for JSON anywhere: --help and
        # --version run before the rest of it is parsed.
        self.json_requested = False

    def defer(self, add_arguments: Callable[["Parser"], None]) -> None:
        """Let `add_arguments(self)` add this parser's arguments only when it
        is about to parse (or `complete()` is called): a subcommand's module is
        imported when that subcommand runs, not for every run."""
        self._deferred = add_arguments

    def _load(self) -> None:
        add_arguments, self._deferred = self._deferred, None
        if add_arguments is not None:
            add_arguments(self)

    def complete(self) -> "Parser":
        """This parser with every deferred argument added, its subcommands'
        too (for a tool that reads the whole command line, such as shtab)."""
        self._load()
        for sub in self._subcommands().values():
            sub.complete()
        return self

    def error(self, message):  # argparse calls this only for what is checked below
        raise UsageError(_("{message}（见 {prog} --help）").format(message=message, prog=self.prog))

    def parse_known_args(self, args=None, namespace=None):
        self._load()
        return super().parse_known_args(args, namespace)

    def parse_args(self, args=None, namespace=None):
        words = list(sys.argv[1:] if args is None else args)
        requested = wants_json(words)
        for parser in self._parsers():  # a subcommand's parser made later takes it too
            parser.json_requested = requested
        self._load_subcommand(words)
        self._refuse_values_of_flags(words)
        try:
            namespace, extras = self.parse_known_args(words, namespace)
        except argparse.ArgumentError as exc:
            if exc.argument_name == subcommands_metavar():
                # argparse's "invalid choice" for the one positional word
                # that names the subcommand.
                from .hints import suggest

                word = next((w for w in words if not w.startswith("-")), "")
                names = self._subcommand_names()
                message = _("未知的子命令 {word!r}（可选: {choices}）{hint}").format(
                    word=word, choices=join(names), hint=suggest(word, [*names, *ALIASES]))
            else:
                message = usage_message(exc)
            raise UsageError(_("{message}（见 {prog} --help）").format(
                message=message, prog=self.prog)) from None
        if extras:
            raise UsageError(_("无法识别的参数: {words}（见 {prog} --help）").format(
                words=" ".join(extras), prog=self.prog))
        command = getattr(namespace, "command", None)
        if command is None:
            raise UsageError(_("缺少子命令（见 {prog} --help）").format(prog=self.prog))
        for dest, option in getattr(namespace, "required_options", ()):
            if getattr(namespace, dest, None) is None:
                raise UsageError(_("缺少必需参数: {option}（见 {prog} {command} --help）").format(
                    option=option, prog=self.prog, command=command))
        return namespace

    def _load_subcommand(self, words: list[str]) -> None:
        """Add the options of the subcommand that `words` name, before their
        flags are checked.  Every option of the top level takes no value, so
        the first word that is not an option names the subcommand."""
        for word in words:
            if word == "--":
                break
            if not word.startswith("-"):
                sub = self._subcommands().get(word)
                if sub is not None:
                    sub._load()
                break

    def _subcommands(self) -> _Parsers:
        """Every subcommand's name and alias and its parser (made as it is
        looked up)."""
        for action in self._actions:
            if isinstance(action, _Subcommands):
                return action.choices
        return _Parsers(lambda name: None)  # a subcommand's own parser has none

    def _parsers(self) -> list[argparse.ArgumentParser]:
        """This parser and the subcommands' parsers made so far (the others
        have no options beyond the -h, --help and --json everyone has)."""
        return [self, *dict.fromkeys(self._subcommands().made())]

    def _refuse_values_of_flags(self, words: list[str]) -> None:
        """`--json=1`: argparse would refuse it in English; an option that
        takes no value is refused here, with any value, before parsing."""
        flags = {option for parser in self._parsers() for action in parser._actions
                 if action.nargs == 0 for option in action.option_strings}
        for word in words:
            if word == "--":
                break
            option, sep, _value = word.partition("=")
            if sep and option in flags:
                raise UsageError(_("选项 {option} 不接受值: {word}（见 {prog} --help）").format(
                    option=option, word=word, prog=self.prog))

    def _subcommand_names(self) -> list[str]:
        return [name for name in self._subcommands() if name not in ALIASES]


def usage_message(exc: argparse.ArgumentError) -> str:
    message = exc.message
    if message in _ARGPARSE_CATALOG:
        message = _(_ARGPARSE_CATALOG[message])
    if exc.argument_name in (None, subcommands_metavar()):
        return message
    return _("参数 {name}: {message}").format(name=exc.argument_name, message=message)


def wants_json(argv: list[str]) -> bool:
    """Whether the command line asks for JSON (before a "--"), for what is
    printed before or while it is parsed."""
    words = argv[:argv.index("--")] if "--" in argv else argv
    return "--json" in words


def _say(parser, text: str, document: dict) -> None:
    """`text` for a person, or `document` as the run's one JSON document."""
    if getattr(parser, "json_requested", False):
        from .output import json_text

        text = json_text(document) + "\n"
    sys.stdout.write(text)
    sys.stdout.flush()
    parser.exit(EXIT_OK)


class _NoValueAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)


class HelpAction(_NoValueAction):
    def __call__(self, parser, namespace, values, option_string=None):
        text = parser.format_help()
        _say(parser, text, {"help": text, "prog": parser.prog})


class VersionAction(_NoValueAction):
    def __call__(self, parser, namespace, values, option_string=None):
        _say(parser, *version_text())


def build_parser() -> "Parser":
    """The command line parser.  Each subcommand's options are added when
    the subcommand is parsed (`Parser.defer`): `complete()` adds them all."""
    parser = Parser(
        prog=PROG,
        description=_("tarvek 的 Skills 层：从任何来源安装、记录、检查与更新 Skill，"
                      "以及发版准入与模板修剪。"),
        epilog=_("每个子命令都支持 --help 与 --json（输出一个 JSON 文档；也可写在子命令之前）。\n"
                 "退出状态：0 成功；1 文件系统错误或其他失败；\n"
                 "2 用法错误、发版清单错误或被拒绝的请求；\n"
                 "130 被中断（SIGTERM 为 143，SIGHUP 为 129）。\n"
                 "消息的语言按 LANGUAGE、LC_ALL、LC_MESSAGES、LANG 选择（中文或英文）。"),
    )
    parser.options.add_argument("-V", "--version", action=VersionAction, help=_("显示版本并退出"))
    parser.options.add_argument("--json", action="store_true", help=_("输出一个 JSON 文档"))
    # A handler that needs the command line itself (completion) finds it here.
    parser.set_defaults(parser=parser)
    subcommands = parser.add_subparsers(title=_("子命令"), dest="command",
                                        metavar=subcommands_metavar(), parser_class=Parser,
                                        action=_Subcommands)
    for name, command in commands.COMMANDS.items():
        summary = _(command.summary)
        subcommands.add_parser(name, aliases=list(command.aliases), help=summary,
                               description=summary, setup=_subcommand_setup(parser, name))
    return parser


def _subcommand_setup(parser: "Parser", name: str) -> Callable[["Parser"], None]:
    """What a subcommand's parser gets when it is made: `--json`, and its
    own arguments, deferred until it parses."""
    def setup(sub: "Parser") -> None:
        sub.json_requested = parser.json_requested
        sub.options.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                                 help=_("输出一个 JSON 文档（供脚本使用）"))
        sub.defer(_subcommand_loader(name))

    return setup


def _subcommand_loader(name: str) -> Callable[["Parser"], None]:
    def load(sub: "Parser") -> None:
        commands.add_options(name, sub)
        sub.set_defaults(handler=commands.handler(name), required_options=sub.required_options)

    return load
