"""Manifests and VERSION.json files read in place on the native path.

While `json` is the interpreter's own, the native path reads a manifest or a
VERSION.json without making the dict json.loads makes; every admission,
problem and version must still be exactly what json.loads gives (the object
path calls it by name), a text the reader is unsure of must go to json.loads
itself (its result or its exception), and a json module that is not the
interpreter's own (a hooked decoder, a rebound `loads`) must be obeyed.
Records are filled natively while `SkillRecord` is the models module's own;
anything else bound there is called.
"""

import json
import os
import sys

import pytest

import tarvek.skills.discovery.detector as detector
from conftest import PATH_KINDS, use_path_kind, write
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector
from tarvek.skills.domain import models
from tarvek.skills.domain.models import SkillRecord

pytestmark = pytest.mark.usefixtures("no_tarvek_environment")


def outcome(call):
    """The result of `call`, or the kind, text and cause kind of what it raised."""
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - compared as a whole
        cause = type(error.__cause__).__name__ if error.__cause__ is not None else None
        return ("raised", type(error).__name__, str(error), cause)


def on_both_paths(monkeypatch, call):
    """{kind: outcome of call()} on the native and the object path."""
    outcomes = {}
    for kind in PATH_KINDS:
        use_path_kind(monkeypatch, kind)
        outcomes[kind] = outcome(call)
    return outcomes


def templates(root, manifest_text, names=("a", "b")):
    for name in names:
        write(root / name / "SKILL.md")
        write(root / name / "data" / "VERSION.json", "{}")
    (root / "manifest.json").write_bytes(manifest_text.encode("utf-8", "surrogatepass")
                                         if isinstance(manifest_text, str) else manifest_text)
    return root


def selected(root):
    return lambda: packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                                  templates_dir=root)


# The truth of every kind of admission flag ------------------------------------

FLAGS = ["true", "false", "null", "0", "-0", "7", "0.0", "-0.0", "0e5", "1e-400", "1e-320",
         "1e400", "NaN", "Infinity", "-Infinity", '""', '"0"', '"\\u0000"', "[]", "[0]", "{}",
         '{"x": 0}', "1" * 700, "0." + "0" * 5000 + "1"]


@pytest.mark.parametrize("flag", FLAGS)
def test_flags_count_as_json_loads_makes_them(tmp_path, monkeypatch, flag):
    text = '{"skills": {"a": {"wheel": %s}, "b": {"source": true}}, "default": {"wheel": 1}}' % flag
    root = templates(tmp_path / "t", text)
    expected = ["a", "b"] if json.loads(text)["skills"]["a"]["wheel"] else ["b"]
    assert on_both_paths(monkeypatch, selected(root)) == {kind: ("ok", expected)
                                                         for kind in PATH_KINDS}


@pytest.mark.parametrize("text", [
    # repeated keys: the last one counts, wherever it stands
    '{"skills": {"a": {"wheel": true}, "a": {"wheel": false}, "b": {"wheel": 1}}}',
    '{"skills": {"a": {"wheel": true, "wheel": 0}}, "skills": {"b": {"wheel": 1}}}',
    '{"default": [], "default": {"wheel": true}, "skills": {}}',
    # names written with escapes, white space of every kind
    '{"skills": {"\\u0061": {"wheel": true}, "\\"b\\"": {"wheel": true}}}',
    '\r\n{\t"skills" :{"b":{"wheel":"no"}}\r}\n',
    # texts json.loads reads or refuses on its own
    '{"skills": {"a": {"wheel": true}}, "x": ' + "[" * 100 + "]" * 100 + "}",
    '{"skills": {"a": {"wheel": true}}, "x": ' + "[" * 5000 + "]" * 5000 + "}",
    '{"skills": {"a": {"wheel": true}}, "n": ' + "9" * 5000 + "}",
    '\ufeff{"skills": {}}',
    '{"skills": {"a": {"wheel": true},}}',
    '{"skills": {"a": {"wheel": true}}} x',
    '{"skills": {"a": {"wheel": tru}}}',
    '{"skills": {"a": {"wheel": 01}}}',
    '{"skills": {"a": {"wheel": 1.}}}',
    '{"skills": {"a": {"wheel": "\x01"}}}',
    '{"skills": {"a": {"wheel": "\\x"}}}',
    '{"skills": {"\\ud800": {"wheel": true}, "a": {"wheel": true}}}',
    b'{"skills": {"a": {"reason": "\xff"}}}',
    b'{"skills": {"a": {"reason": "\xed\xa0\x80"}}}',
    "[]",
    '{"skills": []}',
    '{"skills": {"a": 5, "b": {"wheel": true}}, "default": {"wheel": true}}',
], ids=lambda text: repr(text)[:40])
def test_manifests_read_as_json_loads_reads_them(tmp_path, monkeypatch, text):
    root = templates(tmp_path / "t", text)
    outcomes = on_both_paths(monkeypatch, selected(root))
    assert outcomes["native"] == outcomes["object"]
    outcomes = on_both_paths(monkeypatch, lambda: packaging.validate_release_manifest(root))
    assert outcomes["native"] == outcomes["object"]


def test_names_that_are_not_utf8_meet_keys_with_lone_surrogates(tmp_path, monkeypatch):
    root = tmp_path / "t"
    root.mkdir()
    os.mkdir(os.fsencode(root) + b"/\xff")
    write(root / "a" / "SKILL.md")
    (root / "manifest.json").write_text(
        '{"skills": {"\\udcff": {"wheel": true}, "a": {"wheel": true}}}', encoding="utf-8")
    assert on_both_paths(monkeypatch, selected(root)) == {
        kind: ("ok", ["a", "\udcff"]) for kind in PATH_KINDS}


@pytest.mark.parametrize("reason", ["", " ", "\\u3000\\t", "\\u001c", "\\u200b", "x", 0, None,
                                    False, [], {}])
def test_blank_texts_are_those_str_strip_empties(tmp_path, monkeypatch, reason):
    value = json.dumps(reason) if not isinstance(reason, str) else f'"{reason}"'
    text = '{"skills": {"a": {"reason": %s, "tier": "core", "wheel": 1}, "b": 3}}' % value
    root = templates(tmp_path / "t", text)
    outcomes = on_both_paths(monkeypatch, lambda: packaging.validate_release_manifest(root))
    assert outcomes["native"] == outcomes["object"]
    blank = not str(json.loads(text)["skills"]["a"]["reason"]).strip()
    assert ("a: reason 不能为空" in outcomes["native"][1]) == blank


# Versions --------------------------------------------------------------------

@pytest.mark.parametrize("text", [
    '{"version": "v1"}', '{"version": "caf\\u00e9 \\ud83d\\ude00"}', '{"version": 3}',
    '{"version": -0}', '{"version": 1.5}', '{"version": 1e400}', '{"version": -1e-400}',
    '{"version": NaN}', '{"version": -Infinity}', '{"version": 12345678901234567890}',
    '{"version": true}', '{"version": false}', '{"version": null}', '{"version": [1, "x"]}',
    '{"version": {"a": 1}}', '{}', '{"version": "a", "version": "b"}',
    '{"version": "\\ud800"}', '[1]', '"v"', '{"version": 1', '\ufeff{"version": "v"}',
])
def test_versions_read_as_json_loads_reads_them(tmp_path, home, monkeypatch, text):
    root = tmp_path / "skills"
    write(root / "s" / "data" / "VERSION.json", text)
    write(root / "t" / "data" / "VERSION.json", '{"version": "ok"}')
    outcomes = on_both_paths(
        monkeypatch,
        lambda: [r.version for r in SkillDetector().discover(str(root), cwd=tmp_path)])
    assert outcomes["native"] == outcomes["object"]
    try:
        data = json.loads(text)
        expected = [str(data.get("version", "unknown")), "ok"]
    except (ValueError, AttributeError):
        expected = ["ok"]
    assert outcomes["native"] == ("ok", expected)


# A json module that is not the interpreter's own ------------------------------

def loads_calls(monkeypatch):
    """Counts the calls of json.loads, which is then no longer json's own."""
    calls = []
    original = json.loads

    def loads(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(json, "loads", loads)
    return calls


def test_json_loads_itself_is_not_called_on_the_native_path(tmp_path, home):
    entry = '{"wheel": true, "tier": "t", "reason": "r"}'
    root = templates(tmp_path / "t", '{"skills": {"a": %s}}' % entry, names=["a"])
    write(tmp_path / "skills" / "s" / "data" / "VERSION.json", '{"version": "1"}')
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is json.loads.__code__:
            entered.append(frame)

    sys.setprofile(profile)
    try:
        assert packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                              templates_dir=root) == ["a"]
        assert packaging.validate_release_manifest(root) == []
        assert [r.version for r in SkillDetector().discover(str(tmp_path / "skills"),
                                                            cwd=tmp_path)] == ["1"]
    finally:
        sys.setprofile(None)
    assert entered == []


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_a_rebound_json_loads_is_called_for_every_text(tmp_path, home, monkeypatch, kind):
    use_path_kind(monkeypatch, kind)
    calls = loads_calls(monkeypatch)
    root = templates(tmp_path / "t", '{"skills": {"a": {"wheel": true}}}')
    write(tmp_path / "skills" / "s" / "data" / "VERSION.json", '{"version": "1"}')
    packaging.selected_skill_names(profile="python-release", artifact="wheel", templates_dir=root)
    packaging.validate_release_manifest(root)
    SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert len(calls) == 3


@pytest.mark.parametrize("kind", PATH_KINDS)
@pytest.mark.parametrize("hook", ["parse_float", "parse_constant", "object_pairs_hook"])
def test_a_hooked_decoder_decides(tmp_path, home, monkeypatch, kind, hook):
    use_path_kind(monkeypatch, kind)
    if hook == "parse_constant":
        monkeypatch.setitem(json.decoder._CONSTANTS, "NaN", 0.0)
    else:
        hooks = {"parse_float": lambda text: 0.0,
                 "object_pairs_hook": lambda pairs: {k: (v if k != "wheel" else 0)
                                                     for k, v in pairs}}
        monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(**{hook: hooks[hook]}))
    root = templates(tmp_path / "t", '{"skills": {"a": {"wheel": 1.5}, "b": {"wheel": NaN}}}')
    admitted = packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                              templates_dir=root)
    assert admitted == {"parse_float": ["b"], "parse_constant": ["a"],
                        "object_pairs_hook": []}[hook]


def test_a_sibling_rebound_during_selection_gets_the_dict(tmp_path, monkeypatch):
    # The manifest was read in place; when _profile_key rebinds skill_allowed
    # half way, the new one is handed the manifest as json.loads makes it.
    root = templates(tmp_path / "t", '{"skills": {"a": {"wheel": true}, "b": {"wheel": 1.5}}}')
    original_key = packaging._profile_key
    given = []

    def skill_allowed(name, **kwargs):
        given.append(kwargs["manifest"])
        return True

    def profile_key(profile, artifact):
        monkeypatch.setattr(packaging, "skill_allowed", skill_allowed)
        return original_key(profile, artifact)

    monkeypatch.setattr(packaging, "_profile_key", profile_key)
    assert packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                          templates_dir=root) == ["a", "b"]
    assert given == [{"skills": {"a": {"wheel": True}, "b": {"wheel": 1.5}}}]


# Records ---------------------------------------------------------------------

def skills_dir(tmp_path):
    root = tmp_path / "skills"
    write(root / "s" / "data" / "VERSION.json", '{"version": "2"}')
    return root


def test_records_are_the_models_records(tmp_path, home):
    root = skills_dir(tmp_path)
    [record] = SkillDetector().discover(str(root), cwd=tmp_path)
    assert type(record) is SkillRecord
    assert record == SkillRecord(name="s", version="2", runtime="claude", root=root / "s",
                                 version_file=root / "s" / "data" / "VERSION.json")
    assert hash(record) == hash(SkillRecord(name="s", version="2", runtime="claude",
                                            root=root / "s",
                                            version_file=root / "s" / "data" / "VERSION.json"))


@pytest.mark.parametrize("change", ["init", "subclass", "object", "rebound"])
def test_a_record_class_that_is_not_the_models_own_is_called(tmp_path, home, monkeypatch,
                                                             change):
    root = skills_dir(tmp_path)
    made = []
    if change == "init":
        original = SkillRecord.__init__

        def init(self, **fields):
            made.append(fields)
            original(self, **fields)

        monkeypatch.setattr(SkillRecord, "__init__", init)
    elif change == "subclass":
        class Record(SkillRecord):
            __slots__ = ()

            def __init__(self, **fields):
                made.append(fields)
                super().__init__(**fields)

        monkeypatch.setattr(detector, "SkillRecord", Record)
    elif change == "object":
        class Object:
            @staticmethod
            def __setattr__(obj, name, value):
                made.append(name)
                object.__setattr__(obj, name, value)

        monkeypatch.setattr(models, "object", Object, raising=False)
    else:
        monkeypatch.setattr(detector, "SkillRecord", lambda **fields: made.append(fields) or fields)
    [record] = SkillDetector().discover(str(root), cwd=tmp_path)
    assert made, "the record class was not called"
    fields = record if isinstance(record, dict) else {
        name: getattr(record, name) for name in ("name", "version", "runtime", "root",
                                                 "version_file")}
    assert fields == {"name": "s", "version": "2", "runtime": "claude", "root": root / "s",
                      "version_file": root / "s" / "data" / "VERSION.json"}
