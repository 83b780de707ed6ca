"""Asking before a mass deletion, as package managers do.

On a terminal the command lists what it is about to delete on standard
error and reads the answer from the terminal; `--yes` answers for the
person.  Without a terminal (a script, a pipe, CI) there is nobody to ask:
the command then refuses unless `--yes` is given, so that a script says so
once, in writing."""

from __future__ import annotations

import sys

from .common import Cancelled, Refused
from .i18n import _
from .output import printable

_YES = {"y", "yes", "是", "是的"}  # what counts as yes, in either language


def yes_option(sub) -> None:
    sub.options.add_argument("-y", "--yes", action="store_true",
                             help=_("不询问，直接执行（没有终端时必须给出）"))


def _terminal() -> bool:
    stream = sys.stdin
    try:
        return stream is not None and stream.isatty()
    except (ValueError, OSError):
        return False


def confirm(action: str, items: list[str], yes: bool) -> None:
    """Go on if `yes`, or if the person at the terminal agrees to `action`
    on `items`; otherwise raise Refused (no terminal) or Cancelled (no)."""
    if yes:
        return
    if not _terminal():
        raise Refused(_("{action}会删除 {count} 项，需要确认：没有终端可以询问，"
                        "请加 --yes（可先用 --dry-run 查看）").format(action=action,
                                                                    count=len(items)))
    err = sys.stderr
    err.write(_("将{action}，删除以下 {count} 项：").format(action=action, count=len(items))
              + "\n")
    for item in items:
        err.write(f"  {printable(item)}\n")
    err.write(_("确定继续吗？[y/N] "))
    err.flush()
    answer = sys.stdin.readline()
    if answer.strip().lower() not in _YES:
        raise Cancelled(_("已取消，没有删除任何东西"))
