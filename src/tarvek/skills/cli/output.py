"""What the command prints: aligned tables for a person, one JSON document
for a script, and one line on standard error for an error."""

from __future__ import annotations

import errno
import os
import re
import sys
import unicodedata

from .common import PROG
from .i18n import N_, _

# Characters that reorder the text around them in a terminal: a name holding
# one could make an output line read differently from what it says.
_BIDI_CONTROLS = frozenset(
    "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


class Outcome:
    """What a subcommand hands back: exit status, JSON document, text lines.

    `warnings` go to standard error in both forms of output."""

    __slots__ = ("status", "document", "lines", "warnings")

    def __init__(self, status: int, document: dict[str, object],
                 lines: list[str] | None = None, warnings: list[str] | None = None):
        self.status = status
        self.document = document
        self.lines = [] if lines is None else lines
        self.warnings = [] if warnings is None else warnings

    def __repr__(self) -> str:
        return (f"Outcome(status={self.status!r}, document={self.document!r}, "
                f"lines={self.lines!r}, warnings={self.warnings!r})")

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    __hash__ = None  # type: ignore[assignment]  # mutable, as a dataclass would be


# What `printable` escapes: the control characters (the whole of category
# Cc), the bidirectional controls and the surrogates (category Cs).
_ESCAPED = re.compile("[\x00-\x1f\x7f-\x9f" + "".join(sorted(_BIDI_CONTROLS))
                      + "\ud800-\udfff]")


def _escape(match: re.Match) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """Escape control, bidirectional-control and unpaired surrogate
    characters, so that a file name cannot forge or reorder output."""
    return _ESCAPED.sub(_escape, text)


def width(text: str) -> int:
    """Display width in a terminal: wide (CJK) characters take two columns."""
    if text.isascii():
        return len(text)
    total = 0
    for ch in text:
        if unicodedata.combining(ch):
            continue
        total += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return total


def _printable_all(texts: list[str]) -> list[str]:
    """`printable` of each text; one search of them all first, since a
    table rarely holds anything to escape."""
    if _ESCAPED.search("".join(texts)) is None:
        return texts
    return [printable(text) for text in texts]


def table(headers: list[str], rows: list[list[str]], empty: str | None = None) -> list[str]:
    """Aligned columns under a header line; the last column is not padded.
    With no rows and an `empty` text, that text alone."""
    if not rows and empty is not None:
        return [empty]
    count = len(headers)
    flat = _printable_all([str(c) for row in [headers, *rows] for c in row])
    if count == 1:
        return [text.rstrip() for text in flat]
    cells = [flat[i:i + count] for i in range(0, len(flat), count)]
    widths = [[width(c) for c in row[:-1]] for row in cells]
    column = [max(row[i] for row in widths) for i in range(count - 1)]
    lines = []
    for row, sizes in zip(cells, widths):
        padded = [c + " " * (column[i] - sizes[i]) for i, c in enumerate(row[:-1])]
        lines.append("  ".join([*padded, row[-1]]).rstrip())
    return lines


def json_text(document: dict[str, object]) -> str:
    import json

    encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("-", "")
    return json.dumps(document, ensure_ascii=encoding != "utf8", indent=2)


def emit(outcome: Outcome, as_json: bool) -> None:
    for warning in outcome.warnings:
        warn(warning)
    if as_json:
        sys.stdout.write(json_text(outcome.document) + "\n")
    elif outcome.lines:
        sys.stdout.write("\n".join(outcome.lines) + "\n")
    sys.stdout.flush()


def warn(message: str) -> None:
    sys.stderr.write(_("{PROG}: 警告: {value}\n").format(PROG=PROG, value=printable(message)))
    sys.stderr.flush()


def error(message: str, kind: str, as_json: bool) -> None:
    """The error line on standard error; with `as_json` also the run's one
    JSON document on standard output."""
    sys.stderr.write(_("{PROG}: 错误: {value}\n").format(PROG=PROG, value=printable(message)))
    sys.stderr.flush()
    if as_json:
        try:
            sys.stdout.write(json_text({"error": {"message": message, "kind": kind}}) + "\n")
            sys.stdout.flush()
        except (OSError, ValueError):
            pass


_ERRNO_TEXT = {
    errno.ENOENT: N_("文件或目录不存在"),
    errno.EACCES: N_("权限不足"),
    errno.EPERM: N_("操作不被允许"),
    errno.ENOTDIR: N_("不是目录"),
    errno.EISDIR: N_("是一个目录"),
    errno.EEXIST: N_("已存在"),
    errno.ENOTEMPTY: N_("目录非空"),
    errno.ENOSPC: N_("磁盘空间不足"),
    errno.EROFS: N_("只读文件系统"),
    errno.ELOOP: N_("符号链接层数过多"),
    errno.ENAMETOOLONG: N_("文件名过长"),
}


def os_error_message(exc: OSError) -> str:
    # shutil.Error can only have been raised once shutil is loaded.
    shutil = sys.modules.get("shutil")
    if (shutil is not None and isinstance(exc, shutil.Error) and exc.args
            and isinstance(exc.args[0], list)):
        # copytree goes on after a failed file and reports them all at the end.
        failures = [f for f in exc.args[0] if isinstance(f, tuple) and len(f) == 3]
        if failures:
            _source, destination, reason = failures[0]
            more = (_("（另有 {count} 处失败）").format(count=len(failures) - 1)
                    if len(failures) > 1 else "")
            return _("复制失败: {reason}: {value}{more}").format(
                       reason=reason, value=os.fsdecode(destination), more=more)
    reason = exc.strerror or ""
    if exc.errno in _ERRNO_TEXT and reason == os.strerror(exc.errno):
        reason = _(_ERRNO_TEXT[exc.errno])
    if not reason:
        reason = str(exc) or type(exc).__name__
    if exc.filename is None:
        return reason
    message = f"{reason}: {os.fsdecode(exc.filename)}"
    if exc.filename2 is not None:
        message += f" -> {os.fsdecode(exc.filename2)}"
    return message
