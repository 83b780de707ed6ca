"""The build record: its form, how a build chooses its profile, and that
writing it never reaches through to the source tree."""

import json
import os

import pytest

from tarvek.skills.build_record import (RECORD_FILENAME, BuildRecord, BuildRecordError,
                                        choose_profile, read_record, write_record)

RECORD = BuildRecord(profile="python-release", artifact="sdist", templates_path="src/pkg/skills",
                     profile_source="environment")


def test_a_written_record_reads_back(tmp_path):
    path = write_record(tmp_path, RECORD)
    assert path == tmp_path / RECORD_FILENAME
    assert read_record(tmp_path) == RECORD
    assert json.loads(path.read_text())["format"] == 1
    assert [p.name for p in tmp_path.iterdir()] == [RECORD_FILENAME]  # no scratch file left


def test_no_record(tmp_path):
    assert read_record(tmp_path) is None
    assert read_record(tmp_path / "missing") is None


@pytest.mark.parametrize("content, message", [
    (b"{oops", "不是 UTF-8 编码的 JSON"),
    (b"\xff\xfe{}", "不是 UTF-8 编码的 JSON"),
    (b"[]", "不是 JSON 对象"),
    (json.dumps({**RECORD.as_json(), "format": 2}).encode(), "格式 2 未知"),
    (json.dumps({**RECORD.as_json(), "profile": " "}).encode(), "缺少 'profile'"),
    (json.dumps({**RECORD.as_json(), "templates_path": 3}).encode(), "缺少 'templates_path'"),
    (json.dumps({**RECORD.as_json(), "artifact": "egg"}).encode(), "产物类型 'egg' 未知"),
    (json.dumps({**RECORD.as_json(), "templates_path": "/etc"}).encode(), "指向产物之外"),
    (json.dumps({**RECORD.as_json(), "templates_path": "a/../../b"}).encode(), "指向产物之外"),
    (b" " * (64 * 1024 + 1), "超过"),
])
def test_a_broken_record_is_refused(tmp_path, content, message):
    (tmp_path / RECORD_FILENAME).write_bytes(content)
    with pytest.raises(BuildRecordError, match=message) as caught:
        read_record(tmp_path)
    assert str(tmp_path / RECORD_FILENAME) in str(caught.value)


def test_a_fifo_is_never_opened(tmp_path):
    os.mkfifo(tmp_path / RECORD_FILENAME)
    with pytest.raises(BuildRecordError, match="不是普通文件"):
        read_record(tmp_path)  # would block forever if it were opened


def test_writing_replaces_a_hard_linked_record_without_touching_the_source(tmp_path):
    # setuptools stages an sdist's files as hard links to the source tree.
    source, staged = tmp_path / "source", tmp_path / "staged"
    source.mkdir()
    staged.mkdir()
    write_record(source, RECORD)
    before = (source / RECORD_FILENAME).read_bytes()
    os.link(source / RECORD_FILENAME, staged / RECORD_FILENAME)
    write_record(staged, BuildRecord("python-release", "wheel", "pkg/skills", "record"))
    assert (source / RECORD_FILENAME).read_bytes() == before
    assert read_record(staged).artifact == "wheel"


@pytest.mark.parametrize("explicit, environment, recorded, expected", [
    ("binary-full", "internal", "python-release", ("binary-full", "argument")),
    (None, "internal", "python-release", ("internal", "environment")),
    ("", "  internal ", None, ("internal", "environment")),
    (None, "", "python-release", ("python-release", "record")),
    (None, "   ", None, ("dev", "default")),
    ("  ", None, None, ("dev", "default")),
])
def test_the_strongest_profile_wins(tmp_path, explicit, environment, recorded, expected):
    if recorded is not None:
        write_record(tmp_path, BuildRecord(recorded, "sdist", "src/pkg/skills", "environment"))
    environ = {} if environment is None else {"TARVEK_SKILL_PROFILE": environment}
    choice = choose_profile(explicit, source_templates=tmp_path, environ=environ)
    assert (choice.profile, choice.source) == expected
    assert choice.recorded == recorded


def test_the_build_log_says_which_profile_and_why(tmp_path):
    write_record(tmp_path, RECORD)
    overriding = choose_profile(None, source_templates=tmp_path,
                                environ={"TARVEK_SKILL_PROFILE": "dev"})
    assert overriding.describe() == ("profile 'dev' (from TARVEK_SKILL_PROFILE, in place of "
                                     "'python-release' recorded in the sdist)")
    assert choose_profile(None, source_templates=tmp_path, environ={}).describe() == (
        "profile 'python-release' (recorded in the sdist's build record)")
    assert choose_profile("internal", explicit_source="configuration", environ={}).describe() == (
        "profile 'internal' (named in the build configuration)")


def test_a_broken_record_in_the_source_fails_the_build(tmp_path):
    (tmp_path / RECORD_FILENAME).write_text("{}")
    with pytest.raises(BuildRecordError):
        choose_profile(None, source_templates=tmp_path, environ={})
