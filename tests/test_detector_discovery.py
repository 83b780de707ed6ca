"""Runtime inference, the candidate directories and the scan for installed
skills."""

import json
import logging
import types
from pathlib import Path

import pytest

import tarvek.skills.discovery.detector as detector
from tarvek.skills.discovery.detector import SkillDetector
from tarvek.skills.domain.models import SkillRecord

pytestmark = pytest.mark.usefixtures("path_kind")

LOGGER = "tarvek.skills.detector"


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    monkeypatch.delenv("TARVEK_SKILLS_DIR", raising=False)


def make_skill(parent, name, version_json=None, data="dir"):
    """A skill directory below `parent`: `data` as a directory (optionally
    with VERSION.json holding `version_json`, text or bytes), as a file, or
    absent."""
    root = parent / name
    root.mkdir(parents=True, exist_ok=True)
    if data == "file":
        (root / "data").write_text("", encoding="utf-8")
    elif data == "dir":
        (root / "data").mkdir(exist_ok=True)
        if version_json is not None:
            target = root / "data" / "VERSION.json"
            if isinstance(version_json, bytes):
                target.write_bytes(version_json)
            else:
                target.write_text(version_json, encoding="utf-8")
    return root


@pytest.mark.parametrize("path, runtime", [
    ("~/.codex/skills/foo", "codex"),
    ("/home/u/.codex/skills/foo", "codex"),
    ("/home/u/.config/opencode/skills/foo", "opencode"),
    ("/p/.OpenClaw/skills/foo", "openclaw"),
    ("/p/.codex/.openclaw/foo", "openclaw"),
    ("/p/.openclaw/.codex/foo", "openclaw"),
    ("/p/.trae-cn/opencode/foo", "opencode"),
    ("/home/opencode/.codex/skills/foo", "codex"),
    ("/p/.workbuddy/opencode/foo", "opencode"),
    ("/p/.trae-cn/.workbuddy/foo", "workbuddy"),
    ("/p/.opencode/skills/foo", "claude"),
    ("/p/.trae/skills/foo", "claude"),
    ("/p/.trae-cn/skills/foo", "trae-cn"),
    ("/p/.workbuddy/skills/foo", "workbuddy"),
    ("/home/u/.claude/skills/opencode", "opencode"),
    ("/home/opencode/.claude/skills/foo", "opencode"),
    ("/p/my.codex/.codex-old/skills/foo", "claude"),
    ("/p/.CODEX/skills/foo", "codex"),
    ("skills/foo", "claude"),
    ("", "claude"),
])
def test_infer_runtime(path, runtime):
    assert SkillDetector()._infer_runtime(Path(path)) == runtime


@pytest.mark.parametrize("value, error", [
    ("/p/.codex", AttributeError),
    (types.SimpleNamespace(parts=[".codex", 3]), AttributeError),
    (types.SimpleNamespace(parts=5), TypeError),
])
def test_infer_runtime_odd_values(value, error):
    with pytest.raises(error):
        SkillDetector()._infer_runtime(value)


def fixed_candidates(cwd, home):
    return [cwd / ".claude/skills", home / ".claude/skills", home / ".openclaw/skills",
            home / ".codex/skills", home / ".config/opencode/skills",
            home / ".workbuddy/skills", home / ".trae-cn/skills"]


def test_candidates_without_sources(tmp_path, home, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setenv("TARVEK_SKILLS_DIR", "")
    d = SkillDetector()
    assert d.candidate_dirs() == fixed_candidates(work, home)
    assert d.candidate_dirs("") == fixed_candidates(work, home)
    # cwd moves only the project-level claude candidate.
    assert d.candidate_dirs(cwd=tmp_path) == fixed_candidates(tmp_path, home)
    # Working directory and home alike: the two claude candidates are one.
    assert d.candidate_dirs(cwd=home) == fixed_candidates(home, home)[1:]
    assert d.discover() == []


def test_candidates_from_argument_and_environment(tmp_path, home, monkeypatch):
    monkeypatch.setenv("TARVEK_SKILLS_DIR", "~/from-env")
    d = SkillDetector()
    got = d.candidate_dirs("~/from-arg", cwd=tmp_path)
    assert got == [home / "from-arg", home / "from-env", *fixed_candidates(tmp_path, home)]

    shared = tmp_path / "shared"
    shared.mkdir()
    (tmp_path / "x").mkdir()
    monkeypatch.setenv("TARVEK_SKILLS_DIR", str(tmp_path / "x" / ".." / "shared"))
    assert d.candidate_dirs(str(shared), cwd=tmp_path)[:2] == [shared, tmp_path / ".claude/skills"]
    # Missing directories are one only when their expanded texts are equal.
    monkeypatch.setenv("TARVEK_SKILLS_DIR", str(tmp_path / "x" / ".." / "gone"))
    got = d.candidate_dirs(str(tmp_path / "gone"), cwd=tmp_path)
    assert got[:2] == [tmp_path / "gone", tmp_path / "x" / ".." / "gone"]
    monkeypatch.setenv("TARVEK_SKILLS_DIR", "~/gone")
    assert d.candidate_dirs(str(home / "gone"), cwd=tmp_path)[:2] == [
        home / "gone", tmp_path / ".claude/skills"]


@pytest.mark.parametrize("form", ["symlink", "dotdot"])
def test_other_form_of_home_claude_takes_its_place(tmp_path, home, form):
    real = home / ".claude" / "skills"
    real.mkdir(parents=True)
    if form == "symlink":
        given = tmp_path / "link"
        given.symlink_to(real, target_is_directory=True)
    else:
        given = home / ".claude" / "skills" / ".." / "skills"
    got = SkillDetector().candidate_dirs(str(given), cwd=tmp_path)
    assert got[0] == given
    assert real not in got
    assert len(got) == 7


def test_relative_skills_dir_follows_the_process(tmp_path, home, monkeypatch):
    (tmp_path / "proc").mkdir()
    make_skill(tmp_path / "proc" / "rel", "s1")
    monkeypatch.chdir(tmp_path / "proc")
    d = SkillDetector()
    assert d.candidate_dirs("rel", cwd=tmp_path / "elsewhere")[0] == Path("rel")
    assert [r.root for r in d.discover("rel", cwd=tmp_path / "elsewhere")] == [Path("rel/s1")]


@pytest.mark.parametrize("text, version", [
    ('{"version": "v1.2.0"}', "v1.2.0"),
    ('{"name": "x"}', "unknown"),
    ('{"version": null}', "None"),
    ('{"version": 3}', "3"),
    ('{"version": 1.5}', "1.5"),
    ('{"version": true}', "True"),
    ('{"version": [1, 2]}', "[1, 2]"),
    ('{"version": "版本一"}', "版本一"),
])
def test_version_text(tmp_path, home, text, version):
    root = make_skill(tmp_path / "skills", "s", text)
    [record] = SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert record == SkillRecord(name="s", version=version, runtime="claude", root=root,
                                 version_file=root / "data" / "VERSION.json")


@pytest.mark.parametrize("data", ["dir", "file"])
def test_data_without_version_file(tmp_path, home, data):
    root = make_skill(tmp_path / "skills", "s", data=data)
    [record] = SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert record.version == "v0.0.0"
    assert record.version_file == root / "data" / "VERSION.json"
    assert not record.version_file.exists()


# Broken files: unparsable ones, and (by design) ones whose top level is not an
# object, are skipped with one DEBUG message each, and the scan goes on.
@pytest.mark.parametrize("content, reason", [
    ("{not json", json.JSONDecodeError),
    (b'\xef\xbb\xbf{"version": "1"}', json.JSONDecodeError),
    (b'{"version": "\xff"}', UnicodeDecodeError),
    ("", json.JSONDecodeError),
    ("[1, 2]", ValueError),
    ('"v1"', ValueError),
    ("3", ValueError),
    ("null", ValueError),
    ("VERSION.json is a directory", IsADirectoryError),
])
def test_broken_version_file_is_skipped_and_logged(tmp_path, home, caplog, content, reason):
    skills = tmp_path / "skills"
    make_skill(skills, "a-before", '{"version": "1"}')
    if reason is IsADirectoryError:
        (make_skill(skills, "broken") / "data" / "VERSION.json").mkdir()
    else:
        make_skill(skills, "broken", content)
    make_skill(skills, "z-after")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    records = SkillDetector().discover(str(skills), cwd=tmp_path)
    assert [(r.name, r.version) for r in records] == [("a-before", "1"), ("z-after", "v0.0.0")]
    [entry] = [r for r in caplog.records if r.name == LOGGER]
    assert entry.levelno == logging.DEBUG
    assert entry.msg == "跳过损坏的 VERSION.json: %s [%s]"
    assert entry.args[0] == skills / "broken" / "data" / "VERSION.json"
    assert isinstance(entry.args[1], reason)
    assert entry.getMessage() == f"跳过损坏的 VERSION.json: {entry.args[0]} [{entry.args[1]}]"


def test_debug_message_goes_to_the_named_logger_only(tmp_path, home, caplog):
    make_skill(tmp_path / "skills", "broken", "{")
    caplog.set_level(logging.DEBUG, logger="tarvek.skills.discovery.detector")
    SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert not [r for r in caplog.records if r.levelno == logging.DEBUG]
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert [r.name for r in caplog.records] == [LOGGER]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_parsing_are_not_swallowed(tmp_path, home, monkeypatch, error):
    make_skill(tmp_path / "skills", "s", "{}")

    def loads(text):
        raise error

    monkeypatch.setattr(detector, "json", types.SimpleNamespace(loads=loads))
    with pytest.raises(error):
        SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)


def test_failing_logger_reaches_the_caller_chained(tmp_path, home, monkeypatch):
    make_skill(tmp_path / "skills", "s", "{")

    def debug(*args):
        raise RuntimeError("handler down")

    monkeypatch.setattr(detector, "_logger", types.SimpleNamespace(debug=debug))
    with pytest.raises(RuntimeError, match="handler down") as info:
        SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)
    assert isinstance(info.value.__context__, json.JSONDecodeError)


def test_scan_order_layout_and_duplicates(tmp_path, home):
    claude = home / ".claude" / "skills"
    for name in ["beta", "Alpha", "alpha"]:
        make_skill(claude, name, '{"version": "%s"}' % name)
    make_skill(claude, ".hidden")
    make_skill(claude, "no-data", data=None)
    (claude / "plain-file").write_text("", encoding="utf-8")
    make_skill(home / ".codex" / "skills", "beta")
    make_skill(home / ".config" / "opencode" / "skills", "oc")
    target = make_skill(tmp_path / "outside", "linked", '{"version": "L"}')
    (claude / "linked").symlink_to(target, target_is_directory=True)
    records = SkillDetector().discover(cwd=tmp_path)
    assert [(r.name, r.runtime) for r in records] == [
        (".hidden", "claude"), ("Alpha", "claude"), ("alpha", "claude"), ("beta", "claude"),
        ("linked", "claude"), ("beta", "codex"), ("oc", "opencode")]
    assert records[4].root == claude / "linked" and records[4].version == "L"


def test_candidate_that_is_a_file_ends_the_scan(tmp_path, home):
    (tmp_path / "afile").write_text("", encoding="utf-8")
    with pytest.raises(NotADirectoryError):
        SkillDetector().discover(str(tmp_path / "afile"), cwd=tmp_path)


def test_overrides_are_used_by_discovery(tmp_path, home):
    oc = tmp_path / "oc"
    make_skill(oc / "skills", "s", '{"version": "2"}')
    calls = []

    class Custom(SkillDetector):
        def _opencode_config_dir(self):
            return oc

        def _infer_runtime(self, skill_dir):
            calls.append(skill_dir)
            return "custom"

    d = Custom()
    assert oc / "skills" in d.candidate_dirs(cwd=tmp_path)
    [record] = d.discover(cwd=tmp_path)
    assert (record.runtime, record.version, calls) == ("custom", "2", [oc / "skills" / "s"])

    class Listing(SkillDetector):
        def candidate_dirs(self, skills_dir=None, cwd=None):
            calls.append((skills_dir, cwd))
            return iter([oc / "skills", tmp_path / "missing"])

    assert [r.runtime for r in Listing().discover(skills_dir="x", cwd=tmp_path)] == ["claude"]
    assert calls[-1] == ("x", tmp_path)


@pytest.mark.parametrize("returned, error", [
    (5, TypeError),
    (["not a path"], AttributeError),
    ([None], AttributeError),
])
def test_odd_candidate_lists_fail_cleanly(tmp_path, returned, error):
    class Odd(SkillDetector):
        def candidate_dirs(self, skills_dir=None, cwd=None):
            return returned

    with pytest.raises(error):
        Odd().discover()


def test_failures_of_record_and_opencode_dir_propagate(tmp_path, home, monkeypatch):
    make_skill(tmp_path / "skills", "s")

    def refuse(**kwargs):
        raise LookupError("no record")

    monkeypatch.setattr(detector, "SkillRecord", refuse)
    with pytest.raises(LookupError, match="no record"):
        SkillDetector().discover(str(tmp_path / "skills"), cwd=tmp_path)

    class NoOpencode(SkillDetector):
        def _opencode_skills_dir(self):
            raise OSError("no home")

    with pytest.raises(OSError, match="no home"):
        NoOpencode().candidate_dirs(cwd=tmp_path)


def test_skipping_leaves_the_callers_exception_state_alone(tmp_path, home):
    # A generator started inside an `except` block and resumed after it must
    # not find that exception still being handled once discovery skipped a
    # broken file.
    skills = tmp_path / "skills"
    make_skill(skills, "broken", "{bad")

    def scan():
        SkillDetector().discover(str(skills))
        yield
        yield repr(__import__("sys").exception())

    try:
        raise LookupError("outer")
    except LookupError:
        steps = scan()
        next(steps)
    assert next(steps) == "None"


def test_mapping_from_a_rebound_json_is_read_through_its_get(tmp_path, home, monkeypatch):
    skills = tmp_path / "skills"
    make_skill(skills, "a", '{"version": "1.0"}')
    stand_in = types.SimpleNamespace(loads=lambda text: types.MappingProxyType(json.loads(text)))
    monkeypatch.setattr(detector, "json", stand_in)
    records = SkillDetector().discover(str(skills))
    assert [(r.name, r.version) for r in records] == [("a", "1.0")]
