""""Did you mean …?" for a mistyped subcommand, skill name or value."""

from __future__ import annotations

from .i18n import _, join


def suggest(word: str, names) -> str:
    """" (did you mean …?)" for the names closest to `word`, or ""."""
    import difflib

    close = difflib.get_close_matches(word, list(names), n=3, cutoff=0.6)
    if not close:
        return ""
    return _("（是否想输入: {names}？）").format(names=join(close))
