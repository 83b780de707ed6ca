"""The command's own messages in the reader's language.

Messages are written in Chinese, the product's own language, and marked
with `_()` (or `N_()` where a text is only named and translated later);
gettext catalogs translate them (`locale/<lang>/LC_MESSAGES/tarvek-skills.mo`,
compiled at build time from the `.po` files beside this package's sources).
The language is chosen as gettext chooses it: `LANGUAGE`, else `LC_ALL`,
`LC_MESSAGES`, `LANG`; as with GNU gettext, `LANGUAGE` counts only when the
messages locale is not C or POSIX.  With no locale, or C/POSIX, or a
language without a catalog, the messages stay Chinese.

The texts of the extension modules (their exceptions and log messages) are
fixed and are never translated here.

Nothing is read until the first message is asked for, and the catalog is
looked up once per process."""

from __future__ import annotations

import os

DOMAIN = "tarvek-skills"
_translations = None


def languages(environ=None) -> list[str]:
    """The languages to look for, in order; empty for C, POSIX or no locale."""
    environ = os.environ if environ is None else environ
    locale = ""
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = environ.get(name, "")
        if value:
            locale = value
            break
    if locale.split(".")[0].split("@")[0] in ("", "C", "POSIX"):
        return []
    chosen = [lang for lang in environ.get("LANGUAGE", "").split(":") if lang]
    return chosen or [locale]


def locale_dir() -> str | None:
    """Where the compiled catalogs are: beside the packaging module, which
    an installed package (wheel, editable install or single-file binary)
    always has, found without importing it."""
    from importlib.util import find_spec

    try:
        spec = find_spec("tarvek.skills.packaging")
    except (ImportError, ValueError):
        spec = None
    if spec is None or not spec.origin:
        return None
    return os.path.join(os.path.dirname(spec.origin), "locale")


class _Source:
    """The messages as written: no catalog is read (gettext is not even
    imported) when nothing asks for another language."""

    @staticmethod
    def gettext(message: str) -> str:
        return message

    @staticmethod
    def ngettext(singular: str, plural: str, count: int) -> str:
        return singular if count == 1 else plural


def _load():
    global _translations
    if _translations is None:
        wanted = languages()
        directory = locale_dir() if wanted else None
        if directory is None:
            _translations = _Source()
        else:
            import gettext

            _translations = gettext.translation(DOMAIN, directory, languages=wanted,
                                                fallback=True)
    return _translations


def reset() -> None:
    """Choose the language again at the next message (for tests that change
    the environment within one process)."""
    global _translations
    _translations = None


def _(message: str) -> str:
    return _load().gettext(message)


def ngettext(singular: str, plural: str, count: int) -> str:
    return _load().ngettext(singular, plural, count)


def N_(message: str) -> str:
    """Mark `message` for the catalogs without translating it yet."""
    return message


def join(items) -> str:
    """Items joined as a list in the reader's language."""
    return _("、").join(items)
