"""The command speaks the reader's language: every message it can print has
a translation in both catalogs, English comes out whole under an English
locale, and Chinese stays under a Chinese locale, C, POSIX or none."""

import ast
import json
import re
from pathlib import Path

import pytest
from babel.messages.pofile import read_po

from conftest import SOURCE_ROOT, run_json
from tarvek.skills import cli
from tarvek.skills.cli import i18n

PACKAGE = Path(cli.__file__).parent
HAN = re.compile(r"[\u4e00-\u9fff\u3000-\u303f\uff01-\uff5e]")
PLACEHOLDER = re.compile(r"\{[^{}]*\}")


def marked_messages() -> dict[str, str]:
    """Every text marked with _() or N_() in the command's sources, with
    where it is."""
    found = {}
    for path in sorted(PACKAGE.glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
                    and node.func.id in ("_", "N_") and node.args):
                argument = node.args[0]
                if isinstance(argument, ast.Constant) and isinstance(argument.value, str):
                    found.setdefault(argument.value, f"{path.name}:{node.lineno}")
    return found


def catalog(lang: str) -> dict[str, object]:
    with open(SOURCE_ROOT / "po" / f"{lang}.po", "rb") as stream:
        return {m.id: m for m in read_po(stream, locale=lang) if m.id}


@pytest.mark.parametrize("lang", ["zh", "en"])
def test_every_message_has_a_translation(lang):
    messages = marked_messages()
    assert len(messages) > 300
    entries = catalog(lang)
    untranslated = [f"{where}: {text!r}" for text, where in messages.items()
                    if text not in entries or not entries[text].string or entries[text].fuzzy]
    assert untranslated == []
    for text, entry in entries.items():
        # The same placeholders, so that format() finds every name.
        assert sorted(PLACEHOLDER.findall(entry.string)) == sorted(PLACEHOLDER.findall(text))
        if lang == "en":
            assert not HAN.search(entry.string), text
        else:
            assert entry.string == text
    assert sorted(set(entries) - set(messages)) == []  # nothing stale


def test_the_catalogs_are_installed_compiled():
    directory = Path(i18n.locale_dir())
    assert sorted(p.parent.parent.name for p in directory.glob("*/LC_MESSAGES/*.mo")) == [
        "en", "zh"]


@pytest.mark.parametrize("environ, expected", [
    ({}, []), ({"LANG": "C"}, []), ({"LANG": "C.UTF-8"}, []), ({"LC_ALL": "POSIX"}, []),
    ({"LANG": "en_US.UTF-8"}, ["en_US.UTF-8"]),
    ({"LANG": "zh_CN.UTF-8"}, ["zh_CN.UTF-8"]),
    ({"LC_ALL": "en_GB.UTF-8", "LANG": "zh_CN.UTF-8"}, ["en_GB.UTF-8"]),
    ({"LC_MESSAGES": "en_US.UTF-8", "LANG": "zh_CN.UTF-8"}, ["en_US.UTF-8"]),
    ({"LANGUAGE": "en:zh", "LANG": "zh_CN.UTF-8"}, ["en", "zh"]),
    # As with GNU gettext, LANGUAGE counts only when the locale is not C.
    ({"LANGUAGE": "en", "LANG": "C.UTF-8"}, []),
])
def test_the_language_follows_the_locale_variables(environ, expected):
    assert i18n.languages(environ) == expected


# Commands that between them print most kinds of text: tables, help, notes,
# warnings, refusals and usage errors.
COMMANDS = [
    ["--help"], ["list"], ["ls", "--outdated"], ["outdated"], ["targets"], ["locations"],
    ["install", "alpha", "--dry-run"], ["install", "alpha"], ["install", "alpha"],
    ["install", "nosuch"], ["install", "./nowhere"], ["install"], ["info", "alpha"],
    ["search", "alp"], ["init", "mine"], ["check", "mine"], ["check", "."],
    ["update", "--dry-run"], ["remove", "alpah"], ["remove", "alpha", "--dry-run"],
    ["doctor"], ["validate"], ["select", "--artifact", "whel"], ["completion"],
    ["instal"], ["list", "--scope", "nowhere"], ["list", "--json=1"], ["-V"],
    ["prune", ".", "--artifact", "wheel"], ["verify", "."], ["datas"],
    *[[name, "--help"] for name in ("locations", "validate", "select", "prune", "datas", "list",
                                    "outdated", "targets", "install", "remove", "update",
                                    "info", "search", "init", "check", "doctor", "verify",
                                    "completion")],
]


@pytest.fixture
def speak(tmp_path, monkeypatch, capsys, env):
    """Returns speak(environ, commands): the output of each command, run in
    this process (as the command runs them) under the locale `environ`."""
    project = tmp_path / "project"
    (project / ".claude").mkdir(parents=True)
    for name in ("HOME", "TARVEK_BUILTIN_TEMPLATES_DIR"):
        monkeypatch.setenv(name, env[name])
    monkeypatch.chdir(project)

    def speak(environ, commands=COMMANDS):
        for name in ("LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"):
            monkeypatch.delenv(name, raising=False)
        for name, value in environ.items():
            monkeypatch.setenv(name, value)
        i18n.reset()
        texts = []
        try:
            for args in commands:
                cli.main(args)
                captured = capsys.readouterr()
                texts.append((args, captured.out + captured.err))
        finally:
            i18n.reset()
        return texts

    return speak


def test_english_everywhere_under_an_english_locale(speak):
    for args, text in speak({"LANG": "en_US.UTF-8"}):
        assert text.strip(), args
        assert not HAN.search(text), (args, text)


@pytest.mark.parametrize("environ", [{"LANG": "zh_CN.UTF-8"}, {"LANG": "C.UTF-8"},
                                     {"LC_ALL": "C", "LANGUAGE": "en"}, {"LANG": ""}])
def test_chinese_under_a_chinese_or_no_locale(speak, environ):
    commands = [["--help"], ["list"], ["install", "nosuch"], ["instal"], ["doctor"]]
    for args, text in speak(environ, commands):
        assert HAN.search(text), args


def test_json_keeps_its_keys_and_translates_its_messages(run, tmp_path):
    english = run("install", "nosuch", "--cwd", tmp_path, "--json",
                  extra_env={"LANG": "en_US.UTF-8"})
    error = json.loads(english.stdout)["error"]
    assert error["kind"] == "usage" and error["message"].startswith("neither the name")
    document = run_json(run, "list", "--cwd", tmp_path, extra_env={"LANG": "en_US.UTF-8"})
    assert set(document) == {"skills", "broken"}
