"""Loading the release manifest of a templates directory."""

import json

import pytest

from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

Error = packaging.SkillReleaseManifestError


def write_manifest(root, content):
    path = root / "manifest.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


def test_missing_manifest_names_its_path(tmp_path):
    with pytest.raises(Error) as info:
        packaging.load_release_manifest(tmp_path)
    assert info.value.args == (f"未找到 Skill 发版清单: {tmp_path / 'manifest.json'}",)
    assert info.value.__cause__ is None
    with pytest.raises(Error, match="未找到 Skill 发版清单: .*nowhere/manifest.json"):
        packaging.load_release_manifest(tmp_path / "nowhere")


def test_dangling_manifest_link_does_not_exist(tmp_path):
    (tmp_path / "manifest.json").symlink_to(tmp_path / "gone.json")
    with pytest.raises(Error, match="未找到 Skill 发版清单"):
        packaging.load_release_manifest(tmp_path)


@pytest.mark.parametrize(
    "content",
    [b"", '{"skills": {', "\ufeff" + '{"skills": {}}', "{'skills': {}}", "[1, 2"],
    ids=["empty", "truncated", "bom", "single-quotes", "unclosed-array"],
)
def test_invalid_json_is_chained(tmp_path, content):
    path = write_manifest(tmp_path, content)
    with pytest.raises(Error) as info:
        packaging.load_release_manifest(tmp_path)
    assert info.value.args == (f"Skill 发版清单 JSON 无效: {path}",)
    assert isinstance(info.value.__cause__, json.JSONDecodeError)
    assert info.value.__context__ is info.value.__cause__


@pytest.mark.parametrize(
    "content, message",
    [
        ("[]", "Skill 发版清单根节点必须是对象"),
        ('"text"', "Skill 发版清单根节点必须是对象"),
        ("null", "Skill 发版清单根节点必须是对象"),
        ("3", "Skill 发版清单根节点必须是对象"),
        ("{}", "Skill 发版清单必须包含 skills 对象"),
        ('{"skills": null}', "Skill 发版清单必须包含 skills 对象"),
        ('{"skills": []}', "Skill 发版清单必须包含 skills 对象"),
        ('{"skills": "a"}', "Skill 发版清单必须包含 skills 对象"),
    ],
)
def test_shape_errors(tmp_path, content, message):
    write_manifest(tmp_path, content)
    with pytest.raises(Error) as info:
        packaging.load_release_manifest(tmp_path)
    assert info.value.args == (message,) and info.value.__cause__ is None


@pytest.mark.parametrize(
    "content, expected",
    [
        ('{"skills": {}}', {"skills": {}}),
        ('{"skills": {"a": "x"}, "default": [1]}', {"skills": {"a": "x"}, "default": [1]}),
        ('{"skills": {"a": {"tier": "x"}, "a": {"tier": "y"}}}', {"skills": {"a": {"tier": "y"}}}),
        ('{"skills": {"n": {"wheel": NaN}}, "other": 1}', None),
    ],
)
def test_loads_what_json_loads(tmp_path, content, expected):
    write_manifest(tmp_path, content)
    loaded = packaging.load_release_manifest(tmp_path)
    if expected is None:
        wheel = loaded["skills"]["n"]["wheel"]
        assert loaded["other"] == 1 and wheel != wheel  # NaN
    else:
        assert loaded == expected


def test_every_call_reads_the_file_again(tmp_path):
    write_manifest(tmp_path, '{"skills": {"a": {}}}')
    first = packaging.load_release_manifest(tmp_path)
    write_manifest(tmp_path, '{"skills": {"b": {}}}')
    second = packaging.load_release_manifest(tmp_path)
    assert (list(first["skills"]), list(second["skills"])) == (["a"], ["b"])
    assert first is not second


def test_non_utf8_is_not_translated(tmp_path):
    write_manifest(tmp_path, b'{"skills": {"\xff": {}}}')
    with pytest.raises(UnicodeDecodeError):
        packaging.load_release_manifest(tmp_path)


def test_directory_named_like_the_manifest(tmp_path):
    (tmp_path / "manifest.json").mkdir()
    with pytest.raises(IsADirectoryError):
        packaging.load_release_manifest(tmp_path)


def test_unreadable_manifest_passes_the_os_error(tmp_path):
    import os

    path = write_manifest(tmp_path, '{"skills": {}}')
    path.chmod(0)
    try:
        if os.access(path, os.R_OK):
            pytest.skip("running with permissions that ignore file modes")
        with pytest.raises(PermissionError):
            packaging.load_release_manifest(tmp_path)
    finally:
        path.chmod(0o644)


def test_empty_string_root_means_builtin(monkeypatch, tmp_path):
    write_manifest(tmp_path, '{"skills": {"z": {}}}')
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(tmp_path))
    assert packaging.load_release_manifest("") == {"skills": {"z": {}}}


def test_rebound_json_and_error_class(monkeypatch, tmp_path):
    write_manifest(tmp_path, "anything")

    class Loader:
        JSONDecodeError = json.JSONDecodeError

        @staticmethod
        def loads(text):
            return {"skills": {"from": text}}

    monkeypatch.setattr(packaging, "json", Loader)
    assert packaging.load_release_manifest(tmp_path) == {"skills": {"from": "anything"}}

    class OtherError(ValueError):
        pass

    monkeypatch.setattr(packaging, "SkillReleaseManifestError", OtherError)
    with pytest.raises(OtherError):
        packaging.load_release_manifest(tmp_path / "missing")


def test_other_loader_errors_pass_through(monkeypatch, tmp_path):
    write_manifest(tmp_path, "{}")

    class Failing:
        JSONDecodeError = json.JSONDecodeError

        @staticmethod
        def loads(text):
            raise KeyError("not a decode error")

    monkeypatch.setattr(packaging, "json", Failing)
    with pytest.raises(KeyError):
        packaging.load_release_manifest(tmp_path)


@pytest.mark.slow
@pytest.mark.parametrize(
    "content, expect",
    [('{"skills": {"a": {}}}', None), ("{", Error), ("[]", Error), (b"\xff", UnicodeDecodeError)],
)
def test_loading_does_not_leak(leak_check, tmp_path, content, expect):
    write_manifest(tmp_path, content)
    leak_check(packaging.load_release_manifest, tmp_path, expect=expect)
    leak_check(packaging.load_release_manifest, tmp_path / "missing", expect=Error)


class FactoryError(ValueError):
    pass


@pytest.mark.parametrize("content", [None, "{"], ids=["missing", "invalid-json"])
@pytest.mark.parametrize(
    "stand_in, raised",
    [
        (lambda message: FactoryError(message), FactoryError),  # a factory of instances
        (str, TypeError),  # not an exception: a `raise` of it is a TypeError
        (lambda message: [message], TypeError),
        (lambda message: FactoryError, FactoryError),  # a class is instantiated
    ],
)
def test_rebound_error_name_is_raised_as_python_raises_it(
    monkeypatch, tmp_path, content, stand_in, raised
):
    if content is not None:
        write_manifest(tmp_path, content)
    monkeypatch.setattr(packaging, "SkillReleaseManifestError", stand_in)
    with pytest.raises(raised):
        packaging.load_release_manifest(tmp_path)


def test_except_clause_with_a_non_class_is_a_type_error(monkeypatch, tmp_path):
    write_manifest(tmp_path, "{}")

    class Loader:
        JSONDecodeError = 5

        @staticmethod
        def loads(text):
            raise ValueError("from loads")

    monkeypatch.setattr(packaging, "json", Loader)
    with pytest.raises(TypeError, match="do not inherit from BaseException"):
        packaging.load_release_manifest(tmp_path)
    Loader.JSONDecodeError = (KeyError, ValueError)  # a tuple of classes catches
    with pytest.raises(Error, match="JSON 无效"):
        packaging.load_release_manifest(tmp_path)
