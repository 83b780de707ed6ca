#!/usr/bin/env python3
"""Bring the message catalogs po/zh.po and po/en.po up to date with the
messages of the `tarvek-skills` command (src/tarvek/skills/cli, the texts
marked with _() and N_()).

    tools/update_catalogs.py

Chinese is the source language: zh.po translates every message to itself.
A new message gets an empty English translation, which fails the build and
the catalog test until someone writes it; a message no longer in the code
is dropped.  Needs Babel (a build requirement)."""

import io
import sys
from pathlib import Path

from babel.messages.catalog import Catalog
from babel.messages.extract import extract_from_dir
from babel.messages.pofile import read_po, write_po

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "tarvek" / "skills" / "cli"
PO = ROOT / "po"
NAMES = {"zh": "Chinese (the source language)", "en": "English"}
PLURALS = {"zh": "nplurals=1; plural=0;", "en": "nplurals=2; plural=(n != 1);"}
# Without dates, so that only a change of the messages changes the files.
HEADER = """# {name} messages of the tarvek-skills command.
# Updated with tools/update_catalogs.py; compiled at build time.
msgid ""
msgstr ""
"Project-Id-Version: tarvek-skills\\n"
"Language: {lang}\\n"
"Plural-Forms: {plural}\\n"
"MIME-Version: 1.0\\n"
"Content-Type: text/plain; charset=utf-8\\n"
"Content-Transfer-Encoding: 8bit\\n"

"""


def extracted() -> dict[str, list[tuple[str, int]]]:
    found: dict[str, list[tuple[str, int]]] = {}
    for filename, lineno, message, _comments, _context in extract_from_dir(
            str(SOURCES), method_map=[("**.py", "python")],
            keywords={"_": None, "N_": None}):
        if isinstance(message, str) and message:
            found.setdefault(message, []).append((f"cli/{filename}", lineno))
    return found


def update(lang: str, messages: dict[str, list[tuple[str, int]]]) -> int:
    path = PO / f"{lang}.po"
    old = {}
    if path.exists():
        with open(path, "rb") as stream:
            old = {m.id: m.string for m in read_po(stream, locale=lang) if m.id}
    catalog = Catalog(locale=lang, project="tarvek-skills", domain="tarvek-skills",
                      charset="utf-8", fuzzy=False)
    missing = 0
    for message in sorted(messages, key=lambda m: messages[m][0]):
        string = message if lang == "zh" else old.get(message, "")
        missing += not string
        catalog.add(message, string, locations=messages[message])
    body = io.BytesIO()
    write_po(body, catalog, width=100, omit_header=True, sort_output=False,
             include_lineno=False)
    path.write_bytes(HEADER.format(name=NAMES[lang], lang=lang, plural=PLURALS[lang]).encode()
                     + body.getvalue())
    return missing


def main() -> int:
    messages = extracted()
    PO.mkdir(exist_ok=True)
    for lang in ("zh", "en"):
        missing = update(lang, messages)
        print(f"{lang}.po: {len(messages)} messages, {missing} without a translation")
    return 0


if __name__ == "__main__":
    sys.exit(main())
