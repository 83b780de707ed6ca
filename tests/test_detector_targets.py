"""Install targets: project level, per user, and their de-duplication."""

import pathlib
from pathlib import Path, PurePosixPath

import pytest

import tarvek.skills.discovery.detector as detector
from conftest import RUNTIMES
from tarvek.skills.discovery.detector import SkillDetector

pytestmark = pytest.mark.usefixtures("path_kind")


@pytest.fixture
def bin_dir(tmp_path, monkeypatch):
    """An empty search path; `add(name)` puts an executable `name` on it."""
    directory = tmp_path / "bin"
    directory.mkdir()
    monkeypatch.setenv("PATH", str(directory))

    def add(name):
        command = directory / name
        command.write_text("#!/bin/sh\nexit 0\n", encoding="utf-8")
        command.chmod(0o755)

    return add


@pytest.fixture
def work(tmp_path):
    directory = tmp_path / "work"
    directory.mkdir()
    return directory


def project(cwd, runtime):
    return (runtime, cwd / f".{runtime}" / "skills")


def all_targets(home):
    return [(r, home / f".{r}" / "skills") if r != "opencode"
            else (r, home / ".config/opencode/skills") for r in RUNTIMES]


@pytest.mark.parametrize("present, chosen", [
    ([], "claude"),
    ([".codex"], "codex"),
    ([".codex", ".claude"], "claude"),
    ([".trae-cn", ".workbuddy"], "workbuddy"),
    ([".trae-cn"], "trae-cn"),
    (["file:.opencode"], "opencode"),
    ([".openclaw", ".opencode"], "openclaw"),
    ([".trae", ".config"], "claude"),
])
def test_inferred_project_target(work, present, chosen):
    for name in present:
        if name.startswith("file:"):
            (work / name[5:]).write_text("", encoding="utf-8")
        else:
            (work / name).mkdir()
    assert SkillDetector().detect_install_target(cwd=work) == project(work, chosen)
    # An unknown or not exactly written preferred runtime changes nothing.
    for preferred in ["Codex", " codex", "trae", "", "all"]:
        assert SkillDetector().detect_install_target(work, preferred) == project(work, chosen)


@pytest.mark.parametrize("preferred", RUNTIMES)
def test_preferred_runtime_needs_no_directory(work, preferred):
    (work / ".claude").mkdir()
    asked = "".join(preferred)  # an equal string that is not the interned name
    result = SkillDetector().detect_install_target(work, asked)
    assert result == project(work, preferred) and result[0] is asked


@pytest.mark.parametrize("present, expected", [
    ([], []),
    ([".codex", ".opencode", ".workbuddy", ".trae-cn"], []),
    ([".openclaw"], ["openclaw"]),
    ([".openclaw", ".claude"], ["claude", "openclaw"]),
])
def test_available_project_targets(work, present, expected):
    for name in present:
        (work / name).mkdir()
    got = SkillDetector().detect_available_install_targets(work)
    assert got == [project(work, r) for r in expected]
    assert all(type(t) is tuple for t in got)


@pytest.mark.parametrize("present, requested, expected", [
    ([], None, ["claude"]),
    ([], [], ["claude"]),
    ([".codex"], None, ["codex"]),
    ([".codex", ".claude"], None, ["claude"]),
    ([".claude", ".openclaw"], None, ["claude", "openclaw"]),
    ([], [" Codex ", "claude", "CLAUDE"], ["codex", "claude"]),
    ([".opencode"], ["opencode", "opencode"], ["opencode"]),
])
def test_project_targets_for_requests(work, present, requested, expected):
    for name in present:
        (work / name).mkdir()
    got = SkillDetector().detect_install_targets(work, requested)
    assert got == [project(work, r) for r in expected]


@pytest.mark.parametrize("present, path", [([".openclaw"], ".openclaw"), ([], ".claude")])
def test_unknown_request_keeps_its_label(work, present, path):
    for name in present:
        (work / name).mkdir()
    assert SkillDetector().detect_install_targets(work, [" TRAE "]) == [
        ("trae", work / path / "skills")]


@pytest.mark.parametrize("requested", [["claude", " All "], ["ALL", 3], ["all"]])
def test_all_request_gives_every_global_target(work, home, requested):
    (work / ".claude").mkdir()
    assert SkillDetector().detect_install_targets(work, requested) == all_targets(home)


@pytest.mark.parametrize("requested, error", [
    (("claude",), TypeError),
    (["claude", 3], AttributeError),
    ([None], AttributeError),
])
def test_bad_requests(work, requested, error):
    with pytest.raises(error):
        SkillDetector().detect_install_targets(work, requested)


def test_explicit_cwd_never_asks_for_the_current_directory(work, monkeypatch):
    class NoCwd(type(pathlib.Path())):
        @classmethod
        def cwd(cls):
            raise AssertionError("Path.cwd() was called")

    monkeypatch.setattr(detector, "Path", NoCwd)
    d = SkillDetector()
    for requested in [None, ["codex", "x"]]:
        for _, path in d.detect_install_targets(work, requested):
            assert path.is_relative_to(work)
    with pytest.raises(AssertionError, match="cwd"):
        d.detect_install_target()


def test_default_working_directory_is_the_process_one(work, monkeypatch):
    monkeypatch.chdir(work)
    (work / ".openclaw").mkdir()
    d = SkillDetector()
    assert d.detect_install_target() == project(work, "openclaw")
    assert d.detect_available_install_targets() == [project(work, "openclaw")]
    assert d.detect_install_targets() == [project(work, "openclaw")]


@pytest.mark.parametrize("dirs, commands, expected", [
    ([], [], []),
    ([".codex"], ["claude"], ["claude", "codex"]),
    ([], ["trae"], ["trae-cn"]),
    ([], ["trae-cn"], []),
    ([".opencode"], [], []),
    ([".config/opencode"], [], ["opencode"]),
    ([], ["opencode", "workbuddy"], ["opencode", "workbuddy"]),
    ([".openclaw", ".trae-cn", ".workbuddy"], ["openclaw"], ["openclaw", "workbuddy", "trae-cn"]),
    ([".claude", ".config/opencode"], ["claude", "opencode", "codex"],
     ["claude", "codex", "opencode"]),
])
def test_global_targets(home, bin_dir, dirs, commands, expected):
    for name in dirs:
        (home / name).mkdir(parents=True)
    for name in commands:
        bin_dir(name)
    wanted = dict(all_targets(home))
    assert SkillDetector().detect_global_install_targets() == [(r, wanted[r]) for r in expected]


def test_command_is_looked_up_only_without_the_directory(home, monkeypatch):
    asked = []

    class Which:
        @staticmethod
        def which(name):
            asked.append(name)
            return "/bin/" + name if name == "codex" else None

    monkeypatch.setattr(detector, "shutil", Which)
    (home / ".claude").mkdir()
    (home / ".config" / "opencode").mkdir(parents=True)
    got = SkillDetector().detect_global_install_targets()
    assert [r for r, _ in got] == ["claude", "codex", "opencode"]
    assert asked == ["openclaw", "codex", "workbuddy", "trae"]


def test_all_targets_without_any_tool(home, bin_dir):
    assert SkillDetector().detect_all_install_targets() == all_targets(home)


def test_home_is_read_at_every_call(tmp_path, monkeypatch):
    d = SkillDetector()
    for name in ["one", "two"]:
        monkeypatch.setenv("HOME", str(tmp_path / name))
        assert d._opencode_config_dir() == tmp_path / name / ".config/opencode"
        assert d._opencode_skills_dir() == tmp_path / name / ".config/opencode/skills"


def test_opencode_override_moves_every_opencode_row(home, bin_dir, tmp_path):
    elsewhere = tmp_path / "x" / "oc"

    class Moved(SkillDetector):
        def _opencode_config_dir(self):
            return elsewhere

    d = Moved()
    assert d._opencode_skills_dir() == elsewhere / "skills"
    assert dict(d.detect_all_install_targets())["opencode"] == elsewhere / "skills"
    assert d.detect_global_install_targets() == []
    elsewhere.mkdir(parents=True)
    assert d.detect_global_install_targets() == [("opencode", elsewhere / "skills")]
    assert elsewhere / "skills" in d.candidate_dirs(cwd=tmp_path)


def test_install_target_override_is_used(work):
    class Fixed(SkillDetector):
        def detect_install_target(self, cwd=None, preferred_runtime=None):
            return ["ignored", cwd / "chosen" / str(preferred_runtime)]

    d = Fixed()
    assert d.detect_install_targets(work) == [("ignored", work / "chosen" / "None")]
    assert d.detect_install_targets(work, ["A", "b"]) == [
        ("a", work / "chosen" / "a"), ("b", work / "chosen" / "b")]


@pytest.mark.parametrize("override, returned, call, error", [
    ("detect_install_target", ("claude", "p", "extra"), ("cwd", None), ValueError),
    ("detect_install_target", ("claude",), ("cwd", ["x"]), ValueError),
    ("detect_install_target", 7, ("cwd", None), TypeError),
    ("_dedupe_targets", ("not", "a list"), ("detect_all_install_targets",), TypeError),
    ("_dedupe_targets", ("not", "a list"), ("detect_global_install_targets",), TypeError),
    ("_dedupe_targets", ("not", "a list"), ("detect_available_install_targets", "cwd"),
     TypeError),
    ("_dedupe_targets", ("x",), ("cwd", ["claude"]), TypeError),
    ("detect_available_install_targets", ("x",), ("cwd", None), TypeError),
    # Falsy results that are no list are refused as well, though not returned.
    *[("detect_available_install_targets", falsy, ("cwd", None), TypeError)
      for falsy in ((), 0, "", {})],
    ("detect_all_install_targets", {"x": 1}, ("cwd", ["all"]), TypeError),
])
def test_odd_override_results_fail_cleanly(work, home, override, returned, call, error):
    Odd = type("Odd", (SkillDetector,), {override: lambda self, *a, **k: returned})
    if call[0] == "cwd":
        method, args = Odd().detect_install_targets, (work, call[1])
    else:
        method, args = getattr(Odd(), call[0]), tuple(work for _ in call[1:])
    with pytest.raises(error):
        method(*args)


@pytest.mark.parametrize("override, call", [
    ("_dedupe_targets", "detect_all_install_targets"),
    ("detect_available_install_targets", "detect_install_targets"),
])
def test_none_passes_as_a_list_result(override, call, home):
    Odd = type("Odd", (SkillDetector,), {override: lambda self, *a, **k: None})
    if call == "detect_install_targets":
        # A None from the available targets falls through to the inference.
        assert len(Odd().detect_install_targets(home)) == 1
    else:
        assert getattr(Odd(), call)() is None


@pytest.mark.parametrize("targets, kept", [
    ([], []),
    ([("claude", Path("/a")), ("claude", "/a"), ("codex", Path("/a"))], [0, 2]),
    ([("claude", Path("/a")), ["claude", PurePosixPath("/a/")], ("claude", Path("/b/../a"))],
     [0, 2]),
    ([("claude", Path("a")), ("claude", Path("/a"))], [0, 1]),
    ([("codex", "/x"), ("claude", "/x"), ["codex", Path("/x")]], [0, 1]),
])
def test_dedupe_keeps_first_of_each_key(targets, kept):
    got = SkillDetector()._dedupe_targets(list(targets))
    assert got == [tuple(targets[i]) for i in kept]
    # New pairs holding the path received, not its text.
    assert all(type(pair) is tuple for pair in got)
    assert all(pair[1] is targets[i][1] for pair, i in zip(got, kept))


def test_dedupe_takes_any_two_item_iterable():
    targets = [iter(["claude", Path("/a")]), {"only": 1, "two": 2}.keys(), "ab"]
    assert SkillDetector()._dedupe_targets(targets) == [
        ("claude", Path("/a")), ("only", "two"), ("a", "b")]


@pytest.mark.parametrize("targets, error", [
    ([("claude", "/a", "x")], ValueError),
    ([("claude",)], ValueError),
    ([5], TypeError),
    ([(["unhashable"], "/a")], TypeError),
])
def test_dedupe_refuses_what_is_not_a_pair(targets, error):
    with pytest.raises(error):
        SkillDetector()._dedupe_targets(targets)


def test_dedupe_survives_a_list_changed_while_walked():
    targets = []

    class Shrinking:
        def __str__(self):
            targets.clear()
            return "/gone"

    targets.extend([("a", Shrinking()), ("b", "/b"), ("c", "/c")])
    got = SkillDetector()._dedupe_targets(targets)
    assert [r for r, _ in got] == ["a"]
