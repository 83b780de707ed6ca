"""Options shared by several subcommands, and the `type` functions and
actions behind them.

Every value is checked here, by a `type` function or an `Action` that
raises our own message, so that argparse's own texts never reach the user.
A subcommand's module adds its options with these helpers; nothing here
knows which subcommands exist (that is the table in `commands`)."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Callable

from .common import ALL_RUNTIMES, packaging, runtimes
from .i18n import N_, _, join


class ExclusiveConst(argparse.Action):
    """store_const into a destination shared with other options, refusing a
    second option for the same destination."""

    def __init__(self, option_strings, dest, const=None, default=None, help=None):
        super().__init__(option_strings, dest=dest, nargs=0, const=const, default=default,
                         help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        taken = getattr(namespace, self.dest + "_option", None)
        if taken is not None and taken != option_string:
            raise argparse.ArgumentError(self, _("不能与参数 {option} 同时使用").format(
                option=taken))
        setattr(namespace, self.dest, self.const)
        setattr(namespace, self.dest + "_option", option_string)


def completes(action: argparse.Action, kind: str) -> argparse.Action:
    """Name the values shell completion offers for `action`: one of the
    providers of `values` (skill names, runtimes, scopes, ...)."""
    action.completion_values = kind
    return action


def path_arg(value: str) -> Path:
    if not value:
        raise argparse.ArgumentTypeError(_("路径不能为空"))
    return Path(value)


def runtime_arg(allow_all: bool) -> Callable[[str], str]:
    """A `type` for `--runtime`: one of the detector's runtime names (any
    case, spaces around ignored, as the detector reads them), or "all" if
    allowed."""

    def runtime(value: str) -> str:
        known = (*runtimes(), ALL_RUNTIMES) if allow_all else runtimes()
        name = value.strip().lower()
        if name not in known:
            raise argparse.ArgumentTypeError(
                _("未知的运行时 {value!r}（可选: {choices}）{hint}").format(
                    value=value, choices=join(known), hint=_suggest(name, known)))
        return name

    runtime.__name__ = "runtime"
    return runtime


def choice_arg(what: str, choices: tuple[str, ...]) -> Callable[[str], str]:
    """A `type` for a value out of `choices`; `what` names it in a message
    (marked for the catalogs, translated when the message is made)."""
    def choice(value: str) -> str:
        if value not in choices:
            raise argparse.ArgumentTypeError(
                _("未知的{what} {value!r}（可选: {choices}）{hint}").format(
                    what=_(what), value=value, choices=join(choices),
                    hint=_suggest(value, choices)))
        return value

    choice.__name__ = what
    return choice


def _suggest(word: str, names) -> str:
    from .hints import suggest

    return suggest(word, names)


def templates_option(sub, flag="--templates", dest="templates", what=None, default_text=None):
    what = what or _("模板目录")
    default_text = default_text or _("内置模板目录")
    sub.options.add_argument(flag, dest=dest, metavar="DIR", type=path_arg,
                             help=_("{what}（默认：{default}）").format(what=what,
                                                                     default=default_text))


def profile_option(sub, default_text=None):
    default_text = default_text or _("环境变量 TARVEK_SKILL_PROFILE，未设置时为 dev")
    completes(sub.options.add_argument(
        "--profile", metavar="P",
        help=_("构建 profile（默认：{default}）").format(default=default_text)), "profiles")


def known_artifacts() -> tuple[str, ...]:
    """The artifacts the packaging module maps to admission keys, in the
    order its table names them."""
    table = packaging()._PROFILE_KEYS
    return tuple(dict.fromkeys(artifact for keys in table.values() for artifact in keys))


def artifact_arg(value: str) -> str:
    """A `type` for `--artifact`: one the packaging module knows.  (Under a
    profile that admits everything the module does not look at the artifact,
    so a misspelt one would otherwise pass unnoticed.)"""
    known = known_artifacts()
    if value not in known:
        raise argparse.ArgumentTypeError(
            _("未知的产物类型 {value!r}（可选: {choices}）{hint}").format(
                value=value, choices=join(known), hint=_suggest(value, known)))
    return value


def artifact_option(sub):
    completes(sub.options.add_argument(
        "--artifact", metavar="A", type=artifact_arg,
        help=_("产物类型：{choices}（必需）").format(choices=join(known_artifacts()))),
        "artifacts")
    sub.required_options.append(("artifact", "--artifact"))


def cwd_option(sub):
    sub.options.add_argument("--cwd", metavar="DIR", type=path_arg,
                             help=_("项目目录，必须已存在（默认：当前目录）"))


def skills_dir_option(sub, help: str):
    sub.options.add_argument("--skills-dir", metavar="DIR", help=help)


def dry_run_option(sub, help=None):
    sub.options.add_argument("--dry-run", action="store_true",
                             help=help or _("只显示将要执行的操作，不改动任何东西"))


def target_options(sub, allow_all: bool = True):
    """Where install, remove and update act: --runtime (repeatable),
    --global or --all, and --cwd."""
    extra = _("，或 all（全部运行时的全局目录）") if allow_all else ""
    completes(sub.options.add_argument(
        "--runtime", metavar="R", action="append", dest="runtimes", type=runtime_arg(allow_all),
        help=_("运行时（{runtimes}{extra}），可重复；默认为项目中检测到的每个 AI 工具；"
               "与 --global 一起时是该运行时的用户级目录").format(runtimes=join(runtimes()),
                                                               extra=extra)),
        "runtimes-all" if allow_all else "runtimes")
    sub.options.add_argument("--global", dest="scope", action=ExclusiveConst, const="global",
                             help=_("本机已安装的 AI 工具的全局（用户级）目录"))
    sub.options.add_argument("--all", dest="scope", action=ExclusiveConst, const="all",
                             help=_("全部运行时的全局目录，不做检测"))
    cwd_option(sub)


def model_options(sub, scopes: tuple[str, ...]):
    """The filters of list and outdated: --runtime and --scope (both
    repeatable), --skills-dir and --cwd."""
    completes(sub.options.add_argument(
        "--runtime", metavar="R", action="append", dest="runtimes", type=runtime_arg(False),
        help=_("只看这个运行时，可重复")), "runtimes")
    completes(sub.options.add_argument(
        "--scope", metavar="S", action="append", dest="scopes",
        type=choice_arg(N_("范围"), scopes),
        help=_("只看这个范围：project、user 或 extra，可重复")), "scopes")
    skills_dir_option(sub, _("额外扫描的 Skills 目录（最先扫描）"))
    cwd_option(sub)
