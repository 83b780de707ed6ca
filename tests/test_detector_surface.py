"""The face of tarvek.skills.discovery.detector: names, class, signatures,
argument checks, late binding of the module names, and SkillRecord."""

import dataclasses
import inspect
import logging
import pathlib
import subprocess
import sys
import types

import pytest

import tarvek.skills.discovery.detector as detector
from tarvek.skills.discovery.detector import SkillDetector
from tarvek.skills.domain.models import SkillRecord

T = "list[tuple[str, Path]]"
CWD = ("cwd", "Path | None", None)
SKILLS_DIR = ("skills_dir", "str | None", None)
REQUIRED = inspect.Parameter.empty

# name -> (parameters after self as (name, annotation, default), return annotation)
METHODS = {
    "candidate_dirs": ([SKILLS_DIR, CWD], "list[Path]"),
    "discover": ([SKILLS_DIR, CWD], "list[SkillRecord]"),
    "detect_install_target": ([CWD, ("preferred_runtime", "str | None", None)], "tuple[str, Path]"),
    "detect_install_targets": ([CWD, ("preferred_runtimes", "list[str] | None", None)], T),
    "detect_available_install_targets": ([CWD], T),
    "detect_global_install_targets": ([], T),
    "detect_all_install_targets": ([], T),
    "_opencode_config_dir": ([], "Path"),
    "_opencode_skills_dir": ([], "Path"),
    "_dedupe_targets": ([("targets", T, REQUIRED)], T),
    "_infer_runtime": ([("skill_dir", "Path", REQUIRED)], "str"),
}


def docstring(*lines):
    """A docstring as written in a method body: continuation lines carry the
    method's indentation, and the closing quotes sit on their own line."""
    rest = ["" if line is None else " " * 8 + line for line in lines[1:]]
    return "\n".join([lines[0], *rest]) + "\n" + " " * 8


DOCS = {
    "candidate_dirs": docstring(
        "收集所有候选扫描目录，按优先级排列并去重。", None, "优先级从高到低：",
        "1. 调用方显式指定的 skills_dir 参数", "2. 环境变量 TARVEK_SKILLS_DIR",
        "3. 当前工作目录下的 .claude/skills", "4. 用户主目录下的 .claude/skills",
        "5. 用户主目录下的 .openclaw/skills"),
    "discover": docstring(
        "扫描所有候选目录，发现已安装的 Skill。", None,
        "判定条件：目录下必须存在 data/VERSION.json 文件。",
        "解析失败（JSON 格式错误等）的目录会被静默跳过。"),
    "detect_install_target": docstring(
        "检测新 Skill 应该安装到哪个目录。", None,
        "优先使用 preferred_runtime 参数，否则根据当前目录下是否存在对应运行时目录推断。",
        "默认回退到 claude 运行时。", None, "Returns:", "    (runtime, target_path) 二元组"),
    "detect_install_targets": "检测多个安装目标。",
    "detect_available_install_targets": (
        "根据当前目录已存在的运行时目录，返回可用目标列表（项目级）。"),
    "detect_global_install_targets": docstring(
        "检测全局已安装的 AI 工具，返回对应的全局 Skills 安装目录。", None,
        "检测规则（tarvek 多工具 Skills 支持路径对照表）：", None,
        "工具          macOS/Linux               Windows",
        "Claude Code   ~/.claude/skills/         %USERPROFILE%/.claude/skills/",
        "OpenClaw      ~/.openclaw/skills/        %USERPROFILE%/.openclaw/skills/",
        "Codex CLI     ~/.codex/skills/           %USERPROFILE%/.codex/skills/",
        "OpenCode      ~/.config/opencode/skills/ %USERPROFILE%/.config/opencode/skills/", None,
        "检测条件：配置目录存在 或 对应命令可用（which）。",
        "返回 [(runtime, skills_dir), ...] 列表，按检测顺序排列，已去重。"),
    "detect_all_install_targets": docstring(
        "返回全部支持运行时的全局安装目录。", None,
        "`--runtime all` 的语义是强制覆盖四类 AI 工具的全局 Skills 目录，",
        "不依赖当前机器是否已检测到对应命令或配置目录。"),
    "_opencode_config_dir": "返回 OpenCode 的配置根目录（所有平台统一为 ~/.config/opencode/）。",
    "_opencode_skills_dir": "返回 OpenCode 的 Skills 安装目录（跨平台）。",
    "_dedupe_targets": None,
    "_infer_runtime": docstring(
        "根据 Skill 目录路径推断运行时类型。", None,
        "优先匹配最具体的特征路径段，无法识别时默认返回 claude。"),
}


def public(namespace):
    return [name for name in namespace if not (name.startswith("__") and name.endswith("__"))]


def test_module_namespace_and_logger():
    assert public(vars(detector)) == [
        "json", "logging", "os", "shutil", "Path", "SkillRecord", "_logger", "SkillDetector"]
    assert detector.__doc__ == (
        "Skill 发现与检测模块。\n\n"
        "负责扫描多个候选目录，发现已安装的 Skill 并生成 SkillRecord。\n"
        "同时提供安装目标目录的检测逻辑，决定新 Skill 应安装到哪里。\n")
    assert detector.Path is pathlib.Path
    assert detector.SkillRecord is SkillRecord
    assert detector._logger is logging.getLogger("tarvek.skills.detector")
    assert detector.json is __import__("json") and detector.shutil is __import__("shutil")


@pytest.mark.parametrize("models_source, error", [
    ("", "ImportError: cannot import name 'SkillRecord'"),
    ("raise LookupError('models broken')", "LookupError: models broken"),
])
def test_load_fails_without_a_usable_record_class(tmp_path, models_source, error):
    # A fresh interpreter whose tarvek.skills.domain.models is the given source.
    (tmp_path / "models.py").write_text(models_source, encoding="utf-8")
    script = (
        "import importlib.util, sys\n"
        "import tarvek.skills.domain\n"
        f"found = importlib.util.spec_from_file_location('tarvek.skills.domain.models', "
        f"{str(tmp_path / 'models.py')!r})\n"
        "module = importlib.util.module_from_spec(found)\n"
        "sys.modules[found.name] = module\n"
        "try:\n"
        "    found.loader.exec_module(module)\n"
        "except LookupError:\n"
        "    del sys.modules[found.name]\n"
        "    sys.meta_path.insert(0, type('F', (), {'find_spec': staticmethod(\n"
        "        lambda name, *a: found if name == found.name else None)}))\n"
        "try:\n"
        "    import tarvek.skills.discovery.detector\n"
        "except Exception as exc:\n"
        "    print(f'{type(exc).__name__}: {exc}')\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.startswith(error), result.stdout + result.stderr
    assert "tarvek.skills.discovery.detector" not in result.stderr


def test_class_is_a_plain_stateless_class():
    assert SkillDetector.__module__ == "tarvek.skills.discovery.detector"
    assert SkillDetector.__qualname__ == SkillDetector.__name__ == "SkillDetector"
    assert SkillDetector.__doc__ == "Skill 探测器，扫描磁盘目录发现已安装的 Skill。"
    assert SkillDetector.__bases__ == (object,)
    assert public(vars(SkillDetector)) == list(METHODS)
    assert vars(SkillDetector()) == {}
    with pytest.raises(TypeError):
        SkillDetector(1)
    with pytest.raises(TypeError):
        SkillDetector(cwd=None)

    class Sub(SkillDetector):
        pass

    assert isinstance(Sub(), SkillDetector)


@pytest.mark.parametrize("name", list(METHODS))
def test_method_introspection(name):
    params, returns = METHODS[name]
    function = vars(SkillDetector)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"SkillDetector.{name}"
    assert function.__module__ == "tarvek.skills.discovery.detector"
    assert function.__doc__ == DOCS[name]
    assert function.__annotations__ == {p: a for p, a, _ in params} | {"return": returns}
    defaults = tuple(d for _, _, d in params if d is not REQUIRED)
    assert function.__defaults__ == (defaults or None)
    assert function.__kwdefaults__ is None
    assert getattr(SkillDetector, name) is function

    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    expected = [inspect.Parameter(p, kind, default=d, annotation=a) for p, a, d in params]
    signature = inspect.Signature(expected, return_annotation=returns)
    assert inspect.signature(getattr(SkillDetector(), name)) == signature
    whole = inspect.signature(function)
    assert list(whole.parameters)[0] == "self"
    assert whole.parameters["self"].annotation is REQUIRED
    assert whole.replace(parameters=list(whole.parameters.values())[1:]) == signature


class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("method, kwargs, param", [
    ("candidate_dirs", {"skills_dir": pathlib.Path("/x")}, "skills_dir"),
    ("discover", {"skills_dir": pathlib.Path("/x")}, "skills_dir"),
    ("discover", {"skills_dir": StrSub("/x")}, "skills_dir"),
    ("candidate_dirs", {"skills_dir": b"/x"}, "skills_dir"),
    ("detect_install_target", {"preferred_runtime": 1}, "preferred_runtime"),
    ("detect_install_target", {"preferred_runtime": StrSub("claude")}, "preferred_runtime"),
    ("detect_install_targets", {"preferred_runtimes": ("claude",)}, "preferred_runtimes"),
    ("detect_install_targets", {"preferred_runtimes": ListSub(["claude"])}, "preferred_runtimes"),
    ("detect_install_targets", {"preferred_runtimes": "claude"}, "preferred_runtimes"),
    ("_dedupe_targets", {"targets": None}, "targets"),
    ("_dedupe_targets", {"targets": ()}, "targets"),
])
def test_exact_type_checks_run_before_the_body(method, kwargs, param):
    calls = []

    class Watched(SkillDetector):
        # The bodies of the checked methods reach Path and these methods first.
        def candidate_dirs(self, *args, **kw):
            calls.append("candidate_dirs")
            return []

    saved = detector.Path
    detector.Path = None  # any use of Path by a body would now fail otherwise
    try:
        with pytest.raises(TypeError, match=param) as info:
            getattr(SkillDetector, method)(Watched(), **kwargs)
    finally:
        detector.Path = saved
    assert type(next(iter(kwargs.values()))).__name__ in str(info.value)
    assert calls == []


@pytest.mark.parametrize("call", [
    lambda d: d._infer_runtime(),
    lambda d: d._opencode_config_dir(1),
    lambda d: d._opencode_skills_dir(x=1),
    lambda d: d.detect_global_install_targets(None),
    lambda d: d.candidate_dirs(None, None, None),
    lambda d: d.discover(skills_dir=None, colour=1),
    lambda d: d.detect_install_target(None, cwd=None),
    lambda d: d._dedupe_targets(),
])
def test_argument_count_and_keyword_errors(call):
    with pytest.raises(TypeError):
        call(SkillDetector())


def test_accepted_argument_forms(tmp_path, home, monkeypatch):
    monkeypatch.chdir(tmp_path)
    d = SkillDetector()
    assert d.candidate_dirs(skills_dir=None) == d.candidate_dirs("")
    assert d.detect_install_targets(preferred_runtimes=None) == d.detect_install_targets(tmp_path)
    assert d.detect_install_target(tmp_path, "codex") == d.detect_install_target(
        preferred_runtime="codex", cwd=tmp_path)
    assert d._infer_runtime(skill_dir=pathlib.Path(".codex")) == "codex"
    assert SkillDetector._dedupe_targets(d, []) == []


def test_replaced_path_moves_every_global_directory(tmp_path, home, monkeypatch):
    other = tmp_path / "elsewhere"

    class ElsewherePath(type(pathlib.Path())):
        @classmethod
        def home(cls):
            return cls(other)

    monkeypatch.setattr(detector, "Path", ElsewherePath)
    targets = SkillDetector().detect_all_install_targets()
    assert [str(path) for _, path in targets] == [
        str(other / ".claude/skills"), str(other / ".openclaw/skills"),
        str(other / ".codex/skills"), str(other / ".config/opencode/skills"),
        str(other / ".workbuddy/skills"), str(other / ".trae-cn/skills")]
    candidates = SkillDetector().candidate_dirs(cwd=tmp_path)
    assert candidates[1:] == [path for _, path in targets]
    assert all(isinstance(path, ElsewherePath) for path in candidates[1:])


def test_replaced_shutil_record_and_logger_take_effect(tmp_path, home, monkeypatch):
    asked = []
    fake_shutil = types.SimpleNamespace(which=lambda name: asked.append(name) or None)
    monkeypatch.setattr(detector, "shutil", fake_shutil)
    assert SkillDetector().detect_global_install_targets() == []
    assert asked == ["claude", "openclaw", "codex", "opencode", "workbuddy", "trae"]

    skills = tmp_path / "skills"
    (skills / "good" / "data").mkdir(parents=True)
    (skills / "bad" / "data").mkdir(parents=True)
    (skills / "bad" / "data" / "VERSION.json").write_text("{", encoding="utf-8")
    made, logged = [], []
    monkeypatch.setattr(detector, "SkillRecord", lambda **kw: made.append(kw) or "rec")
    monkeypatch.setattr(detector, "_logger", types.SimpleNamespace(
        debug=lambda *args: logged.append(args)))
    assert SkillDetector().discover(str(skills), cwd=tmp_path) == ["rec"]
    assert list(made[0]) == ["name", "version", "runtime", "root", "version_file"]
    assert made[0]["name"] == "good" and made[0]["version"] == "v0.0.0"
    assert [args[:2] for args in logged] == [
        ("跳过损坏的 VERSION.json: %s [%s]", skills / "bad" / "data" / "VERSION.json")]


def test_missing_module_name_is_a_name_error(monkeypatch, tmp_path):
    monkeypatch.delattr(detector, "Path")
    with pytest.raises(NameError, match="Path"):
        SkillDetector().detect_all_install_targets()
    # An explicit working directory still needs no Path for the project targets.
    assert SkillDetector().detect_available_install_targets(tmp_path) == []


def test_skill_record_is_a_frozen_keyword_only_record(tmp_path):
    fields = dict(name="s", version="v1", runtime="codex", root=tmp_path,
                  version_file=tmp_path / "data" / "VERSION.json")
    record = SkillRecord(**fields)
    assert record == SkillRecord(**fields) and hash(record) == hash(SkillRecord(**fields))
    assert record != SkillRecord(**(fields | {"version": "v2"}))
    assert "runtime='codex'" in repr(record)
    with pytest.raises(dataclasses.FrozenInstanceError):
        record.version = "v2"
    with pytest.raises(TypeError):
        SkillRecord("s", "v1", "codex", tmp_path, tmp_path)


@pytest.mark.slow
@pytest.mark.parametrize("method, args, expect", [
    ("candidate_dirs", ("~/skills",), None),
    ("candidate_dirs", (pathlib.Path("/x"),), TypeError),
    ("candidate_dirs", (None, [1]), TypeError),
    ("discover", (), None),
    ("discover", (None, 5), TypeError),
    ("detect_install_target", (None, "codex"), None),
    ("detect_install_target", (None, 5), TypeError),
    ("detect_install_target", (object(),), TypeError),
    ("detect_install_targets", (None, [" Codex ", "nope"]), None),
    ("detect_install_targets", (None, ["all"]), None),
    ("detect_install_targets", (None, ["claude", 3]), AttributeError),
    ("detect_install_targets", (5,), TypeError),
    ("detect_available_install_targets", (), None),
    ("detect_available_install_targets", ("not a path",), TypeError),
    ("detect_global_install_targets", (), None),
    ("detect_all_install_targets", (), None),
    ("_opencode_config_dir", (), None),
    ("_opencode_config_dir", (1,), TypeError),
    ("_opencode_skills_dir", (), None),
    ("_opencode_skills_dir", (1,), TypeError),
    ("_dedupe_targets", ([("a", "/x"), ("a", pathlib.Path("/x")), ["b", "/y"]],), None),
    ("_dedupe_targets", ([("a", "/x", 1)],), ValueError),
    ("_dedupe_targets", ([1],), TypeError),
    ("_infer_runtime", (pathlib.Path("/h/.codex/skills/x"),), None),
    ("_infer_runtime", ("/h/.codex",), AttributeError),
])
def test_no_method_leaks(leak_check, home, tmp_path, monkeypatch, method, args, expect):
    skills = tmp_path / "skills"
    (skills / "ok" / "data").mkdir(parents=True)
    (skills / "ok" / "data" / "VERSION.json").write_text('{"version": "1"}', encoding="utf-8")
    (skills / "broken" / "data").mkdir(parents=True)
    (skills / "broken" / "data" / "VERSION.json").write_text("[1]", encoding="utf-8")
    (tmp_path / ".claude").mkdir()
    monkeypatch.setenv("TARVEK_SKILLS_DIR", str(skills))
    monkeypatch.setenv("PATH", str(tmp_path / "nothing"))
    monkeypatch.chdir(tmp_path)
    leak_check(getattr(SkillDetector(), method), *args, expect=expect, rounds=100)


class OddResults(SkillDetector):
    def _dedupe_targets(self, targets):
        return tuple(targets)

    def detect_install_target(self, cwd=None, preferred_runtime=None):
        return ("claude", cwd, "extra")


@pytest.mark.parametrize("method, args, expect", [
    ("detect_all_install_targets", (), TypeError),
    ("detect_global_install_targets", (), TypeError),
    ("detect_install_targets", (pathlib.Path("/w"), ["codex"]), ValueError),
    ("detect_install_targets", (pathlib.Path("/w"),), TypeError),
])
def test_no_leak_on_odd_override_results(leak_check, home, method, args, expect):
    leak_check(getattr(OddResults(), method), *args, expect=expect, rounds=100)
