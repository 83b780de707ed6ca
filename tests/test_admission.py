"""Build profiles and skill admission."""

import json

import pytest

from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

Error = packaging.SkillReleaseManifestError

RELEASE_COMBINATIONS = [
    ("python-release", "sdist", "source"),
    ("python-release", "wheel", "wheel"),
    ("binary-minimal", "binary", "binary"),
    ("binary-full", "binary", "binary_full"),
]


def make_templates(root, manifest=None, dirs=()):
    """A templates directory with the given skill directories and manifest."""
    root.mkdir(parents=True, exist_ok=True)
    for name in dirs:
        (root / name).mkdir()
    if manifest is not None:
        text = manifest if isinstance(manifest, str) else json.dumps(manifest)
        (root / "manifest.json").write_text(text, encoding="utf-8")
    return root


@pytest.fixture(autouse=True)
def no_profile(monkeypatch):
    monkeypatch.delenv("TARVEK_SKILL_PROFILE", raising=False)


# current_profile -------------------------------------------------------------


@pytest.mark.parametrize(
    "env, args, expected",
    [
        (None, (), "dev"),
        ("", (), "dev"),
        ("   \t", (), "dev"),
        (None, ("python-release",), "python-release"),
        ("  ", ("python-release",), "python-release"),
        ("  binary-full \n", (), "binary-full"),
        ("Binary-Full", ("dev",), "Binary-Full"),
        ("some unknown", (), "some unknown"),
    ],
)
def test_current_profile(monkeypatch, env, args, expected):
    if env is not None:
        monkeypatch.setenv("TARVEK_SKILL_PROFILE", env)
    assert packaging.current_profile(*args) == expected


def test_current_profile_reads_variable_named_by_profile_env(monkeypatch):
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", "binary-full")
    monkeypatch.setenv("OTHER_PROFILE", "internal")
    monkeypatch.setattr(packaging, "PROFILE_ENV", "OTHER_PROFILE")
    assert packaging.current_profile() == "internal"
    monkeypatch.delenv("OTHER_PROFILE")
    assert packaging.current_profile() == "dev"


# _profile_key ----------------------------------------------------------------


@pytest.mark.parametrize("profile, artifact, key", RELEASE_COMBINATIONS)
def test_profile_key_release_rows(profile, artifact, key):
    assert packaging._profile_key(profile, artifact) == key


@pytest.mark.parametrize("profile", ["dev", "internal"])
@pytest.mark.parametrize("artifact", ["", "wheel", "anything", "binary"])
def test_profile_key_everything_profiles(profile, artifact):
    assert packaging._profile_key(profile, artifact) is None


@pytest.mark.parametrize(
    "profile, artifact, message",
    [
        ("binary-full", "wheel", "profile 'binary-full' 不支持产物类型 'wheel'"),
        ("python-release", "binary", "profile 'python-release' 不支持产物类型 'binary'"),
        ("python-release", "source", "profile 'python-release' 不支持产物类型 'source'"),
        ("binary-minimal", "it's", "profile 'binary-minimal' 不支持产物类型 \"it's\""),
        ("binary-minimal", "a\\b\n", "profile 'binary-minimal' 不支持产物类型 'a\\\\b\\n'"),
        ("release", "wheel", "未知 Skill 构建 profile: release"),
        ("Dev", "wheel", "未知 Skill 构建 profile: Dev"),
        ("Binary-Full", "binary", "未知 Skill 构建 profile: Binary-Full"),
        (" dev", "wheel", "未知 Skill 构建 profile:  dev"),
        ("", "wheel", "未知 Skill 构建 profile: "),
        ("it's", "wheel", "未知 Skill 构建 profile: it's"),
    ],
)
def test_profile_key_refusals(profile, artifact, message):
    with pytest.raises(Error) as info:
        packaging._profile_key(profile, artifact)
    assert info.value.args == (message,)
    assert isinstance(info.value, ValueError)


def test_profile_key_reads_profile_keys_at_call_time(monkeypatch):
    keys = {"custom": {"tarball": "source"}, "hollow": {}}
    monkeypatch.setattr(packaging, "_PROFILE_KEYS", keys)
    assert packaging._profile_key("custom", "tarball") == "source"
    with pytest.raises(Error, match="未知 Skill 构建 profile: python-release"):
        packaging._profile_key("python-release", "wheel")
    # An empty row counts as no row.
    with pytest.raises(Error, match="未知 Skill 构建 profile: hollow"):
        packaging._profile_key("hollow", "tarball")
    # dev and internal never look at the table.
    assert packaging._profile_key("dev", "tarball") is None


# skill_allowed ---------------------------------------------------------------


@pytest.mark.parametrize("profile", ["dev", "internal"])
def test_skill_allowed_everything_profiles_need_no_manifest(tmp_path, profile):
    empty = make_templates(tmp_path / "t")
    for name in ["anything", ""]:
        assert packaging.skill_allowed(
            name, profile=profile, artifact="whatever", templates_dir=empty
        ) is True


@pytest.mark.parametrize("profile, artifact, key", RELEASE_COMBINATIONS)
@pytest.mark.parametrize(
    "entry, default, expected",
    [
        ({"KEY": True}, None, True),
        ({"KEY": False}, {"KEY": True}, False),
        ({"KEY": None}, {"KEY": True}, False),
        ({"KEY": ""}, {"KEY": True}, False),
        ({"KEY": {}}, {"KEY": True}, False),
        ({"KEY": "false"}, None, True),
        ({"KEY": [0]}, None, True),
        ({}, {"KEY": True}, True),
        ({}, {}, False),
        ({}, None, False),
        ("MISSING", {"KEY": 1}, True),
        ("MISSING", None, False),
        ("a string entry", {"KEY": True}, True),
        (["KEY"], None, False),
        (None, {"KEY": True}, True),
    ],
)
def test_skill_allowed_decision(profile, artifact, key, entry, default, expected):
    def fill(value):
        if isinstance(value, dict):
            return {key if k == "KEY" else k: v for k, v in value.items()}
        return value

    manifest = {"skills": {}}
    if entry != "MISSING":
        manifest["skills"]["s"] = fill(entry)
    if default is not None:
        manifest["default"] = fill(default)
    # Flags under the other keys never matter.
    manifest["skills"]["other"] = {k: True for _, _, k in RELEASE_COMBINATIONS}
    assert packaging.skill_allowed(
        "s", profile=profile, artifact=artifact, manifest=manifest
    ) is expected


def test_skill_allowed_reads_manifest_of_templates_dir(tmp_path):
    root = make_templates(tmp_path / "t", {"skills": {"s": {"wheel": True}}})
    assert packaging.skill_allowed("s", profile="python-release", artifact="wheel",
                                   templates_dir=root) is True
    # An empty dictionary counts as no manifest.
    assert packaging.skill_allowed("s", profile="python-release", artifact="wheel",
                                   manifest={}, templates_dir=root) is True
    assert packaging.skill_allowed("s", profile="python-release", artifact="sdist",
                                   manifest={}, templates_dir=root) is False


def test_skill_allowed_without_templates_dir_uses_builtin(tmp_path, monkeypatch):
    root = make_templates(tmp_path / "t", {"skills": {"s": {"binary": 1}}})
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(root))
    assert packaging.skill_allowed("s", profile="binary-minimal", artifact="binary") is True
    assert packaging.skill_allowed("s", profile="binary-full", artifact="binary") is False


def test_skill_allowed_manifest_error_comes_before_profile_error(tmp_path):
    root = make_templates(tmp_path / "t")
    with pytest.raises(Error) as info:
        packaging.skill_allowed("s", profile="nonsense", artifact="wheel", templates_dir=root)
    assert str(info.value) == "未找到 Skill 发版清单: " + str(root / "manifest.json")
    with pytest.raises(Error, match="未知 Skill 构建 profile: nonsense"):
        packaging.skill_allowed("s", profile="nonsense", artifact="wheel",
                                manifest={"skills": {}})
    with pytest.raises(Error, match="不支持产物类型 'binary'"):
        packaging.skill_allowed("s", profile="python-release", artifact="binary",
                                manifest={"skills": {}})


SKILLS_MESSAGE = "Skill 发版清单必须包含 skills 对象"
DEFAULT_MESSAGE = "Skill 发版清单 default 必须是对象"
NOT_OBJECTS = [None, [], ["wheel"], "wheel", 1, True]


@pytest.mark.parametrize("bad", NOT_OBJECTS)
@pytest.mark.parametrize(
    "manifest, message",
    [
        ({"skills": "BAD"}, SKILLS_MESSAGE),
        ({"skills": "BAD", "default": {"wheel": True}}, SKILLS_MESSAGE),
        ({"skills": {"s": {"wheel": True}}, "default": "BAD"}, DEFAULT_MESSAGE),
        ({"skills": {}, "default": "BAD"}, DEFAULT_MESSAGE),
        ({"skills": "BAD", "default": "BAD"}, SKILLS_MESSAGE),
    ],
)
def test_skill_allowed_malformed_members_are_manifest_errors(manifest, message, bad):
    manifest = {k: (bad if v == "BAD" else v) for k, v in manifest.items()}
    with pytest.raises(Error) as info:
        packaging.skill_allowed("s", profile="python-release", artifact="wheel",
                                manifest=manifest)
    assert info.value.args == (message,)


@pytest.mark.parametrize("bad", NOT_OBJECTS)
def test_malformed_default_in_file_fails_selection(tmp_path, bad):
    root = make_templates(tmp_path / "t", {"skills": {"a": {"wheel": True}}, "default": bad},
                          ["a"])
    with pytest.raises(Error, match=DEFAULT_MESSAGE):
        packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                       templates_dir=root)
    # Builds that never read the manifest are not affected.
    assert packaging.selected_skill_names(profile="dev", artifact="wheel",
                                          templates_dir=root) == ["a"]


def test_skill_allowed_without_skills_member():
    manifest = {"default": {"wheel": True}, "other": 1}
    assert packaging.skill_allowed("s", profile="python-release", artifact="wheel",
                                   manifest=manifest) is True


def test_skill_allowed_follows_rebound_helpers(tmp_path, monkeypatch):
    calls = []

    def fake_key(profile, artifact):
        calls.append(("key", profile, artifact))
        return "custom"

    def fake_load(templates_dir=None):
        calls.append(("load", templates_dir))
        return {"skills": {"s": {"custom": 1}}}

    monkeypatch.setattr(packaging, "_profile_key", fake_key)
    monkeypatch.setattr(packaging, "load_release_manifest", fake_load)
    root = tmp_path / "t"
    assert packaging.skill_allowed("s", profile="p", artifact="a", templates_dir=root) is True
    assert calls == [("load", root), ("key", "p", "a")]


# selected_skill_names --------------------------------------------------------


def test_selected_binary_full(tmp_path):
    manifest = {"skills": {"a": {"binary_full": False}, "b": {"binary_full": True},
                           "c": {"binary_full": "yes"}, "d": {"binary_full": True}}}
    root = make_templates(tmp_path / "t", manifest, ["c", "a", "b"])
    assert packaging.selected_skill_names(profile="binary-full", artifact="binary",
                                          templates_dir=root) == ["b", "c"]


def test_selected_undeclared_directories_follow_default(tmp_path):
    manifest = {"skills": {"a": {"wheel": False}}, "default": {"wheel": True}}
    root = make_templates(tmp_path / "t", manifest, ["a", "B", ".hidden", "x"])
    (root / "file").write_text("not a directory")
    assert packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                          templates_dir=root) == [".hidden", "B", "x"]


def test_selected_unsupported_artifact(tmp_path):
    manifest = {"skills": {}}
    root = make_templates(tmp_path / "t", manifest)
    assert packaging.selected_skill_names(profile="python-release", artifact="binary",
                                          templates_dir=root) == []
    (root / "a").mkdir()
    with pytest.raises(Error, match="profile 'python-release' 不支持产物类型 'binary'"):
        packaging.selected_skill_names(profile="python-release", artifact="binary",
                                       templates_dir=root)


@pytest.mark.parametrize("profile", ["dev", "internal"])
def test_selected_everything_profiles_without_manifest(tmp_path, profile):
    root = make_templates(tmp_path / "t", None, ["z", "__pycache__", "A", ".git"])
    assert packaging.selected_skill_names(profile=profile, artifact="any",
                                          templates_dir=root) == [".git", "A", "__pycache__", "z"]


@pytest.mark.parametrize("given", [None, ""])
def test_selected_falls_back_to_current_profile(tmp_path, monkeypatch, given):
    manifest = {"skills": {"a": {"binary": True}, "b": {"binary_full": True}}}
    root = make_templates(tmp_path / "t", manifest, ["a", "b"])
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", " binary-full ")
    assert packaging.selected_skill_names(profile=given, artifact="binary",
                                          templates_dir=root) == ["b"]
    monkeypatch.setattr(packaging, "current_profile", lambda: "binary-minimal")
    assert packaging.selected_skill_names(profile=given, artifact="binary",
                                          templates_dir=root) == ["a"]


def test_selected_missing_manifest(tmp_path):
    root = make_templates(tmp_path / "t", None, ["a"])
    with pytest.raises(Error, match="未找到 Skill 发版清单"):
        packaging.selected_skill_names(profile="binary-full", artifact="binary",
                                       templates_dir=root)


def test_selected_builtin_root(tmp_path, monkeypatch):
    root = make_templates(tmp_path / "t", {"skills": {"a": {"source": 1}}}, ["a", "b"])
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", lambda: root)
    assert packaging.selected_skill_names(profile="python-release", artifact="sdist") == ["a"]


def test_selected_loads_once_and_calls_through_namespace(tmp_path, monkeypatch):
    root = make_templates(tmp_path / "t", {"skills": {"a": {"wheel": 1}}}, ["a", "b", "c"])
    loads, asked = [], []
    real_load = packaging.load_release_manifest

    def counting_load(*args, **kwargs):
        loads.append((args, kwargs))
        return real_load(*args, **kwargs)

    def recording_allowed(*args, **kwargs):
        asked.append((args, kwargs))
        return args[0] != "b"

    monkeypatch.setattr(packaging, "load_release_manifest", counting_load)
    monkeypatch.setattr(packaging, "skill_allowed", recording_allowed)
    assert packaging.selected_skill_names(profile="python-release", artifact="wheel",
                                          templates_dir=root) == ["a", "c"]
    assert loads == [((root,), {})]
    manifest = json.loads((root / "manifest.json").read_text())
    assert asked == [
        ((name,), {"profile": "python-release", "artifact": "wheel", "manifest": manifest,
                   "templates_dir": root})
        for name in ["a", "b", "c"]
    ]


def test_selected_follows_rebound_list_template_dirs(tmp_path, monkeypatch):
    root = make_templates(tmp_path / "t", None, ["a"])
    seen = []

    def listing(templates_dir=None):
        seen.append(templates_dir)
        return [root / "y", root / "x"]

    monkeypatch.setattr(packaging, "list_template_dirs", listing)
    assert packaging.selected_skill_names(profile="dev", artifact="any",
                                          templates_dir=root) == ["y", "x"]
    assert seen == [root]


# reference counting ----------------------------------------------------------


@pytest.mark.slow
def test_admission_leaks(tmp_path, monkeypatch, leak_check):
    manifest = {"skills": {"a": {"wheel": True}, "b": "text"}, "default": {"binary": 1}}
    root = make_templates(tmp_path / "t", manifest, ["a", "b"])
    bare = make_templates(tmp_path / "bare", None, ["a"])
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", " binary-full ")
    leak_check(packaging.current_profile)
    leak_check(packaging.current_profile, "x")
    leak_check(packaging.current_profile, 1, expect=TypeError)
    leak_check(packaging._profile_key, "python-release", "sdist")
    leak_check(packaging._profile_key, "dev", "sdist")
    leak_check(packaging._profile_key, "nope", "sdist", expect=Error)
    leak_check(packaging._profile_key, "binary-full", "sdist", expect=Error)
    leak_check(packaging.skill_allowed, "a", profile="python-release", artifact="wheel",
               templates_dir=root)
    leak_check(packaging.skill_allowed, "b", profile="binary-minimal", artifact="binary",
               manifest=manifest)
    leak_check(packaging.skill_allowed, "a", profile="python-release", artifact="wheel",
               templates_dir=bare, expect=Error)
    leak_check(packaging.skill_allowed, "a", profile="python-release", artifact="wheel",
               manifest={"skills": []}, expect=Error)
    leak_check(packaging.skill_allowed, "a", profile="python-release", artifact="wheel",
               manifest={"skills": {}, "default": None}, expect=Error)
    leak_check(packaging.skill_allowed, "a", profile="binary-full", artifact="x",
               manifest=manifest, expect=Error)
    leak_check(packaging.selected_skill_names, artifact="binary", templates_dir=root)
    leak_check(packaging.selected_skill_names, profile="dev", artifact="x", templates_dir=bare)
    leak_check(packaging.selected_skill_names, profile="binary-full", artifact="wheel",
               templates_dir=root, expect=Error)
    # An environment lookup that fails on a variable name that is not a string.
    monkeypatch.setattr(packaging, "PROFILE_ENV", 123)
    leak_check(packaging.current_profile, expect=TypeError)


def test_skill_allowed_asks_mapping_subclasses_with_in_and_brackets():
    # `key in mapping` and `mapping[key]`, as the steps read a manifest loaded
    # by a rebound json into dict subclasses; `.get` is never asked.
    seen = []

    class Recording(dict):
        def __contains__(self, key):
            seen.append(("in", key))
            return super().__contains__(key)

        def __getitem__(self, key):
            seen.append(("[]", key))
            return super().__getitem__(key)

        def get(self, key, default=None):
            raise AssertionError("get")

    class Failing(dict):
        def __contains__(self, key):
            raise RuntimeError("contains")

    manifest = {"skills": Recording(a=Recording(wheel=True)), "default": Recording(wheel=False)}
    assert packaging.skill_allowed("a", profile="python-release", artifact="wheel",
                                   manifest=manifest)
    assert seen == [("in", "a"), ("[]", "a"), ("in", "wheel"), ("[]", "wheel"),
                    ("in", "wheel"), ("[]", "wheel")]
    with pytest.raises(RuntimeError, match="contains"):
        packaging.skill_allowed(
            "a", profile="python-release", artifact="wheel",
            manifest={"skills": {"a": {"wheel": True}}, "default": Failing()},
        )  # fmt: skip
