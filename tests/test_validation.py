"""The release check of manifest against templates tree."""

import json

import pytest

from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

Error = packaging.SkillReleaseManifestError

UNDECLARED = "模板目录未在 manifest 声明: "
NO_DIRECTORY = "manifest 声明了不存在的模板目录: "
NOT_OBJECT = ": manifest 条目必须是对象"
NO_REASON = ": reason 不能为空"
NO_TIER = ": tier 不能为空"
NO_SKILL_FILE = ": 发版准入 Skill 必须包含 SKILL.md"
NO_VERSION_FILE = ": 发版准入 Skill 必须包含 data/VERSION.json"
BAD_DEFAULT = "manifest default 必须是对象"

GOOD = {"tier": "core", "reason": "shipped everywhere"}


def make_root(root, skills, dirs=(), complete=(), **extra):
    """A templates root: `dirs` are bare directories, `complete` full skills."""
    root.mkdir(parents=True, exist_ok=True)
    for name in dirs:
        (root / name).mkdir()
    for name in complete:
        (root / name / "data").mkdir(parents=True)
        (root / name / "SKILL.md").write_text("---\n")
        (root / name / "data" / "VERSION.json").write_text('{"version": "1"}')
    (root / "manifest.json").write_text(json.dumps({"skills": skills, **extra}), encoding="utf-8")
    return root


@pytest.fixture(autouse=True)
def no_override(monkeypatch):
    monkeypatch.delenv("TARVEK_BUILTIN_TEMPLATES_DIR", raising=False)


def test_consistent_manifest(tmp_path):
    skills = {
        "a": {**GOOD, "source": True, "wheel": True, "binary": 1, "binary_full": "x"},
        "b": {**GOOD, "binary": False},
        "c": dict(GOOD),
    }
    root = make_root(tmp_path / "t", skills, dirs=["c"], complete=["a", "b"],
                     default={"wheel": True})
    result = packaging.validate_release_manifest(root)
    assert result == [] and type(result) is list


def test_three_blocks_in_order(tmp_path):
    skills = {"z": dict(GOOD), "a": {"source": True}, "y": dict(GOOD), "m": "text"}
    root = make_root(tmp_path / "t", skills, dirs=["b", "a", "__pycache__", "B", "m"])
    (root / "stray.txt").write_text("files are not skills")
    assert packaging.validate_release_manifest(root) == [
        UNDECLARED + "B",
        UNDECLARED + "__pycache__",
        UNDECLARED + "b",
        NO_DIRECTORY + "y",
        NO_DIRECTORY + "z",
        "a" + NO_REASON,
        "a" + NO_TIER,
        "a" + NO_SKILL_FILE,
        "a" + NO_VERSION_FILE,
        "m" + NOT_OBJECT,
    ]


@pytest.mark.parametrize("member", ["reason", "tier"])
@pytest.mark.parametrize(
    "value, reported",
    [
        (None, False), (0, False), (False, False), ([], False), ({}, False), ("x", False),
        (" x ", False), ("MISSING", True), ("", True), ("   ", True), ("\t\n ", True),
        ("\u3000", True),
    ],
)
def test_blank_reason_and_tier(tmp_path, member, value, reported):
    entry = dict(GOOD)
    if value == "MISSING":
        del entry[member]
    else:
        entry[member] = value
    root = make_root(tmp_path / "t", {"s": entry}, dirs=["s"])
    expected = ["s" + (NO_REASON if member == "reason" else NO_TIER)] if reported else []
    assert packaging.validate_release_manifest(root) == expected


def test_reason_reported_before_tier(tmp_path):
    root = make_root(tmp_path / "t", {"s": {"tier": " ", "reason": ""}}, dirs=["s"])
    assert packaging.validate_release_manifest(root) == ["s" + NO_REASON, "s" + NO_TIER]


@pytest.mark.parametrize(
    "flags, examined",
    [
        ({}, False),
        ({"source": False, "wheel": 0, "binary": None, "binary_full": ""}, False),
        ({"other": True}, False),
        ({"source": True}, True),
        ({"wheel": [1]}, True),
        ({"binary": "false"}, True),
        ({"binary_full": True}, True),
        ({"source": False, "binary_full": 1}, True),
    ],
)
def test_only_release_admitted_skills_need_files(tmp_path, flags, examined):
    root = make_root(tmp_path / "t", {"s": {**GOOD, **flags}}, dirs=["s"],
                     default={"source": True, "wheel": True, "binary": True,
                              "binary_full": True})
    expected = ["s" + NO_SKILL_FILE, "s" + NO_VERSION_FILE] if examined else []
    assert packaging.validate_release_manifest(root) == expected


@pytest.mark.parametrize(
    "present, expected",
    [
        ([], [NO_SKILL_FILE, NO_VERSION_FILE]),
        (["SKILL.md"], [NO_VERSION_FILE]),
        (["data/VERSION.json"], [NO_SKILL_FILE]),
        (["data/"], [NO_SKILL_FILE, NO_VERSION_FILE]),
        (["SKILL.md/", "data/VERSION.json/"], []),
        (["SKILL.md", "data/VERSION.json"], []),
    ],
)
def test_required_files(tmp_path, present, expected):
    root = make_root(tmp_path / "t", {"s": {**GOOD, "binary_full": True}}, dirs=["s"])
    for relative in present:
        path = root / "s" / relative.rstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        if relative.endswith("/"):
            path.mkdir()
        else:
            path.write_text("x")
    assert packaging.validate_release_manifest(root) == ["s" + text for text in expected]


def test_required_files_follow_links(tmp_path):
    root = make_root(tmp_path / "t", {"s": {**GOOD, "wheel": True}}, dirs=["s"])
    target = tmp_path / "real.md"
    target.write_text("x")
    (root / "s" / "SKILL.md").symlink_to(target)
    (root / "s" / "data").mkdir()
    (root / "s" / "data" / "VERSION.json").symlink_to(tmp_path / "nowhere")
    assert packaging.validate_release_manifest(root) == ["s" + NO_VERSION_FILE]


@pytest.mark.parametrize("entry", ["x", 1, None, True, ["wheel"], 0.5])
def test_entry_not_an_object(tmp_path, entry):
    root = make_root(tmp_path / "t", {"s": entry}, dirs=["s"])
    assert packaging.validate_release_manifest(root) == ["s" + NOT_OBJECT]


def test_case_differences_are_two_problems(tmp_path):
    root = make_root(tmp_path / "t", {"Skill": dict(GOOD)}, dirs=["skill"])
    assert packaging.validate_release_manifest(root) == [UNDECLARED + "skill",
                                                         NO_DIRECTORY + "Skill"]


@pytest.mark.parametrize("default", [None, [], ["wheel"], "wheel", 0, True])
def test_default_that_is_not_an_object_comes_first(tmp_path, default):
    root = make_root(tmp_path / "t", {"s": {"source": True}, "gone": dict(GOOD)}, dirs=["x"],
                     default=default)
    assert packaging.validate_release_manifest(root) == [
        BAD_DEFAULT, UNDECLARED + "x", NO_DIRECTORY + "gone", NO_DIRECTORY + "s"]


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "未找到 Skill 发版清单: "),
        ("", "Skill 发版清单 JSON 无效: "),
        ("[]", "Skill 发版清单根节点必须是对象"),
        ('{"skills": null}', "Skill 发版清单必须包含 skills 对象"),
    ],
)
def test_unloadable_manifest_raises(tmp_path, content, message):
    root = tmp_path / "t"
    (root / "a").mkdir(parents=True)
    if content is not None:
        (root / "manifest.json").write_text(content)
    with pytest.raises(Error) as info:
        packaging.validate_release_manifest(root)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("given", [None, ""])
def test_builtin_root_when_none_given(tmp_path, monkeypatch, given):
    root = make_root(tmp_path / "t", {"a": dict(GOOD)}, dirs=["b"])
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", lambda: root)
    args = () if given is None else (given,)
    assert packaging.validate_release_manifest(*args) == [UNDECLARED + "b",
                                                          NO_DIRECTORY + "a"]


def test_uses_namespace_loader_and_listing(tmp_path, monkeypatch):
    root = tmp_path / "t"
    root.mkdir()
    calls = []

    def load(templates_dir=None):
        calls.append(("load", templates_dir))
        return {"skills": {"q": {"tier": "t"}, "r": dict(GOOD)}}

    def listing(templates_dir=None):
        calls.append(("list", templates_dir))
        return [root / "q", root / "p"]

    monkeypatch.setattr(packaging, "load_release_manifest", load)
    monkeypatch.setattr(packaging, "list_template_dirs", listing)
    assert packaging.validate_release_manifest(root) == [UNDECLARED + "p", NO_DIRECTORY + "r",
                                                         "q" + NO_REASON]
    assert calls == [("load", root), ("list", root)]


def test_listing_errors_pass_through(tmp_path, monkeypatch):
    root = tmp_path / "file"
    root.write_text("not a directory")
    monkeypatch.setattr(packaging, "load_release_manifest", lambda d=None: {"skills": {}})
    with pytest.raises(NotADirectoryError):
        packaging.validate_release_manifest(root)


@pytest.mark.slow
def test_validation_leaks(tmp_path, leak_check):
    skills = {"a": {"source": True}, "m": "text", "z": dict(GOOD)}
    root = make_root(tmp_path / "t", skills, dirs=["a", "b", "m"], default=[])
    leak_check(packaging.validate_release_manifest, root)
    missing = tmp_path / "missing"
    missing.mkdir()
    leak_check(packaging.validate_release_manifest, missing, expect=Error)
