"""What tarvek.skills.packaging shows to the interpreter: names, constants,
signatures, docstrings, argument rules."""

import inspect
import subprocess
import sys

import pytest

from tarvek.skills import packaging

P = inspect.Parameter
POS = P.POSITIONAL_OR_KEYWORD
KW = P.KEYWORD_ONLY
REQ = P.empty

# name: (parameters as (name, kind, annotation, default), return annotation)
FUNCTIONS = {
    "get_central_skills_dir": ([], "Path"),
    "get_builtin_templates_dir": ([], "Path"),
    "load_release_manifest": ([("templates_dir", POS, "Path | None", None)], "dict[str, Any]"),
    "list_template_dirs": ([("templates_dir", POS, "Path | None", None)], "list[Path]"),
    "current_profile": ([("default", POS, "str", "dev")], "str"),
    "_profile_key": ([("profile", POS, "str", REQ), ("artifact", POS, "str", REQ)], "str | None"),
    "skill_allowed": (
        [
            ("skill_name", POS, "str", REQ),
            ("profile", KW, "str", REQ),
            ("artifact", KW, "str", REQ),
            ("manifest", KW, "dict[str, Any] | None", None),
            ("templates_dir", KW, "Path | None", None),
        ],
        "bool",
    ),
    "selected_skill_names": (
        [
            ("profile", KW, "str | None", None),
            ("artifact", KW, "str", REQ),
            ("templates_dir", KW, "Path | None", None),
        ],
        "list[str]",
    ),
    "prune_templates_dir": (
        [
            ("target_templates_dir", POS, "Path", REQ),
            ("profile", KW, "str | None", None),
            ("artifact", KW, "str", REQ),
            ("manifest_templates_dir", KW, "Path | None", None),
        ],
        "list[str]",
    ),
    "collect_skill_datas": (
        [("profile", KW, "str | None", None), ("templates_dir", KW, "Path | None", None)],
        "list[tuple[str, str]]",
    ),
    "validate_release_manifest": ([("templates_dir", POS, "Path | None", None)], "list[str]"),
    "_remove_tree": ([("path", POS, "Path", REQ)], "None"),
    "_is_packable_file": ([("path", POS, "Path", REQ)], "bool"),
    "_remove_packaging_junk": ([("root", POS, "Path", REQ)], "None"),
}

DOCS = {
    "get_central_skills_dir": "返回跨平台中央 Skills 存储目录。\n\n"
    "    macOS / Linux : ~/.tarvek/skills/\n"
    "    Windows       : %LOCALAPPDATA%\\tarvek\\skills\\\n"
    "    环境变量 TARVEK_CENTRAL_SKILLS_DIR 可覆盖（测试隔离用）。\n    ",
    "get_builtin_templates_dir": "返回当前运行环境中的内置 Skill 模板目录。\n\n"
    "    普通 Python 包、PyInstaller onefile 和测试覆盖都通过这个函数解析路径，\n"
    "    避免业务代码直接依赖固定的 __file__ 相对路径。\n    ",
    "load_release_manifest": "读取 Skill 发版清单。",
    "list_template_dirs": "列出模板根目录下所有 Skill 目录。",
    "current_profile": "读取当前 Skill 构建 profile。",
    "skill_allowed": "判断指定 Skill 是否允许进入目标 profile/artifact。",
    "selected_skill_names": "返回目标 profile/artifact 下应包含的 Skill 名称。",
    "prune_templates_dir": "删除目标模板目录中不允许进入当前产物的 Skill。\n\n"
    "    返回被保留的 Skill 名称列表。\n    ",
    "collect_skill_datas": "返回 PyInstaller datas 兼容的模板文件列表。\n\n"
    "    每个元素为 (source_file, destination_dir)，destination_dir 保持\n"
    "    tarvek/skills/templates/<skill-name>/... 结构。\n    ",
    "validate_release_manifest": "校验发版清单声明完整性，返回问题列表。",
    "_profile_key": None,
    "_remove_tree": None,
    "_is_packable_file": None,
    "_remove_packaging_junk": None,
}


class StrSub(str):
    pass


class DictSub(dict):
    pass


def test_module_binds_names_in_definition_order():
    # A fresh interpreter: monkeypatching in other tests reorders the namespace.
    script = "import tarvek.skills.packaging as m; print(*[n for n in vars(m) if n[:2] != '__'])"
    output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert output.stdout.split() == [
        "json", "os", "sys", "Path", "Any",
        "MANIFEST_FILENAME", "PROFILE_ENV", "DEFAULT_PROFILE", "RELEASE_PROFILE",
        "get_central_skills_dir", "_PROFILE_KEYS", "SkillReleaseManifestError",
        *[name for name in FUNCTIONS if name != "get_central_skills_dir"],
    ]  # fmt: skip


def test_module_docstring_and_imports():
    import json
    import os
    import pathlib
    import sys
    import typing

    assert packaging.__doc__ == (
        "Skill 模板发版准入与收集工具。\n\n"
        "该模块是 Skill 模板发布范围的单一判断入口，供 setup.py、二进制打包\n"
        "脚本和发版检查脚本复用。\n"
    )
    assert (packaging.json, packaging.os, packaging.sys) == (json, os, sys)
    assert packaging.Path is pathlib.Path and packaging.Any is typing.Any


def test_constants_and_profile_keys_order():
    assert packaging.MANIFEST_FILENAME == "manifest.json"
    assert packaging.PROFILE_ENV == "TARVEK_SKILL_PROFILE"
    assert packaging.DEFAULT_PROFILE == "dev"
    assert packaging.RELEASE_PROFILE == "python-release"
    keys = packaging._PROFILE_KEYS
    assert [(p, list(inner.items())) for p, inner in keys.items()] == [
        ("python-release", [("sdist", "source"), ("wheel", "wheel")]),
        ("binary-minimal", [("binary", "binary")]),
        ("binary-full", [("binary", "binary_full")]),
    ]


def test_error_class():
    error = packaging.SkillReleaseManifestError
    assert error.__bases__ == (ValueError,)
    assert error.__module__ == "tarvek.skills.packaging"
    assert error.__qualname__ == error.__name__ == "SkillReleaseManifestError"
    assert error.__doc__ == "Skill 发版清单错误。"
    instance = error("消息 m")
    assert isinstance(instance, ValueError) and str(instance) == "消息 m"
    assert instance.args == ("消息 m",)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_introspection(name):
    func = getattr(packaging, name)
    params, returns = FUNCTIONS[name]
    assert (func.__name__, func.__qualname__, func.__module__) == (
        name, name, "tarvek.skills.packaging")  # fmt: skip
    assert func.__doc__ == DOCS[name]
    assert list(func.__annotations__.items()) == [(n, a) for n, _, a, _ in params] + [
        ("return", returns)
    ]
    positional_defaults = tuple(d for _, k, _, d in params if k is POS and d is not REQ)
    assert func.__defaults__ == (positional_defaults or None)
    keyword_defaults = {n: d for n, k, _, d in params if k is KW and d is not REQ}
    assert func.__kwdefaults__ == (keyword_defaults or None)
    signature = inspect.signature(func)
    assert [(p.name, p.kind, p.annotation, p.default) for p in signature.parameters.values()] == [
        (n, k, a, d) for n, k, a, d in params
    ]
    assert signature.return_annotation == returns
    assert repr(func).startswith(f"<function {name} at 0x")


def test_current_profile_default_is_captured_at_load(monkeypatch):
    monkeypatch.setattr(packaging, "DEFAULT_PROFILE", "binary-full")
    assert packaging.current_profile.__defaults__ == ("dev",)


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: packaging.collect_skill_datas("binary-full"), "takes 0 positional arguments"),
        (lambda: packaging.prune_templates_dir("x"), "missing 1 required keyword-only argument"),
        (lambda: packaging.skill_allowed("a", "b", "c"), "takes 1 positional argument but 3"),
        (lambda: packaging._profile_key("dev"),
         "missing 1 required positional argument: 'artifact'"),
        (lambda: packaging._profile_key(), "'profile' and 'artifact'"),
        (lambda: packaging.get_central_skills_dir(None), "takes 0 positional arguments but 1 was"),
        (lambda: packaging.list_template_dirs(None, None), "from 0 to 1 positional arguments"),
        (lambda: packaging.load_release_manifest(root=None), "unexpected keyword argument 'root'"),
        (lambda: packaging._remove_tree("x", path="x"), "multiple values for argument 'path'"),
        (lambda: packaging.selected_skill_names(), "required keyword-only argument: 'artifact'"),
        (lambda: packaging._profile_key(StrSub("dev"), "x"),
         "argument 'profile' must be str, not StrSub"),
        (lambda: packaging._profile_key("dev", 1), "argument 'artifact' must be str, not int"),
        (lambda: packaging.current_profile(None), "argument 'default' must be str, not NoneType"),
        (lambda: packaging.skill_allowed(b"a", profile="dev", artifact="x"),
         "'skill_name' must be str"),
        (
            lambda: packaging.skill_allowed("a", profile="dev", artifact="x", manifest=DictSub()),
            "argument 'manifest' must be dict or None, not DictSub",
        ),
        (lambda: packaging.skill_allowed("a", profile="dev", artifact="x", manifest=[]),
         "not list"),
        (lambda: packaging.selected_skill_names(profile=1, artifact="x"),
         "must be str or None, not int"),
        (lambda: packaging.prune_templates_dir("t", artifact=StrSub("wheel")),
         "'artifact' must be str"),
        (lambda: packaging.collect_skill_datas(profile=StrSub("x")),
         "'profile' must be str or None"),
    ],
)  # fmt: skip
def test_argument_errors_raise_type_error_before_the_body(call, fragment):
    # A body that ran would raise something else (or return): only the
    # binding layer raises TypeError for these calls.
    with pytest.raises(TypeError) as info:
        call()
    assert fragment in str(info.value)


def test_keyword_arguments_bind_by_name(tmp_path):
    (tmp_path / "b").mkdir()
    (tmp_path / "a").mkdir()
    by_name = packaging.list_template_dirs(templates_dir=tmp_path)
    assert by_name == packaging.list_template_dirs(tmp_path) == [tmp_path / "a", tmp_path / "b"]


def test_rebound_defaults_are_honoured_like_a_python_function(tmp_path, monkeypatch):
    (tmp_path / "only").mkdir()
    func = packaging.list_template_dirs
    monkeypatch.setattr(func, "__defaults__", (tmp_path,))
    assert func() == [tmp_path / "only"]
    assert inspect.signature(func).parameters["templates_dir"].default == tmp_path
    func.__defaults__ = None
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        func()
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple"):
        func.__defaults__ = [tmp_path]


def test_binds_as_a_method_on_a_class(tmp_path):
    (tmp_path / "skill").mkdir()
    func = packaging.list_template_dirs

    class Root(type(tmp_path)):
        listing = func

    root = Root(tmp_path)
    assert Root.listing is func
    bound = root.listing
    assert bound.__func__ is func and bound.__self__ is root
    assert bound() == [root / "skill"]
    assert list(inspect.signature(bound).parameters) == []


def test_function_objects_behave_like_python_functions():
    import copy
    import functools
    import pickle
    import typing
    import weakref

    func = packaging.load_release_manifest
    assert pickle.loads(pickle.dumps(func)) is func
    assert copy.deepcopy(func) is func
    assert weakref.ref(func)() is func
    func.custom_marker = 1
    try:
        assert func.__dict__["custom_marker"] == 1
    finally:
        del func.custom_marker
    assert func.__globals__ is vars(packaging)
    assert typing.get_type_hints(func)["templates_dir"] == packaging.Path | None

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    assert wrapper.__doc__ == func.__doc__ and inspect.signature(wrapper) == inspect.signature(func)


def test_mutual_recursion_through_the_namespace_is_a_recursion_error(monkeypatch):
    # get_builtin_templates_dir rebound to list_template_dirs makes the two
    # call each other forever: the interpreter's recursion limit must stop it.
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", packaging.list_template_dirs)
    with pytest.raises(RecursionError):
        packaging.list_template_dirs()


@pytest.mark.parametrize(
    "call",
    [
        lambda: packaging.skill_allowed("a", "b", "c"),
        lambda: packaging._profile_key(StrSub("dev"), "x"),
        lambda: packaging.load_release_manifest(bogus=1),
        lambda: packaging._profile_key(),
    ],
)
def test_argument_errors_do_not_leak(leak_check, call):
    leak_check(call, expect=TypeError)


@pytest.mark.parametrize("module, name", [("pathlib", "Path"), ("typing", "Any")])
def test_missing_imported_name_fails_the_load_with_import_error(module, name):
    script = (
        f"import sys, types; sys.modules[{module!r}] = types.ModuleType({module!r})\n"
        "try:\n    import tarvek.skills.packaging\n"
        "except ImportError as e:\n    print('ImportError', e)\n"
    )
    output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert output.stdout.startswith(f"ImportError cannot import name '{name}' from '{module}'"), (
        output.stdout + output.stderr
    )
