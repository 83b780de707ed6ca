"""Asking before a mass deletion, as package managers do.

On a terminal the command lists what it is about to delete on standard
error and reads the answer from the terminal; `--yes` answers for the
person.  Without a terminal (a script, a pipe, CI) there is nobody to ask:
the command then refuses unless `--yes` is given, so that a script says so
once, in writing."""

from __future__ import annotations

import sys

from .common import Cancelled, Refused
from .output import printable

_YES = {"y", "yes", "是", "是的"}


def yes_option(sub) -> None:
    sub.options.add_argument("-y", "--yes", action="store_true",
                             help="不询问，直接执行（没有终端时必须给出）")


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
        raise Refused(f"{action}会删除 {len(items)} 项，需要确认：没有终端可以询问，"
                      "请加 --yes（可先用 --dry-run 查看）")
    err = sys.stderr
    err.write(f"将{action}以下 {len(items)} 项：\n")
    for item in items:
        err.write(f"  {printable(item)}\n")
    err.write("确定继续吗？[y/N] ")
    err.flush()
    answer = sys.stdin.readline()
    if answer.strip().lower() not in _YES:
        raise Cancelled("已取消，没有删除任何东西")
