"""Where a caller can tell a native function or module from a Python one,
the two behave alike: exception context, importlib.reload, inspect's view
of signatures, list results of overrides, and keyword suggestions.  Each
case states what Python does, mostly by running a small `def` the same way.
"""

import inspect
import json
import subprocess
import sys
import types

import pytest

import tarvek.skills.discovery.detector as detector
from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")


# Exception context -------------------------------------------------------------


def raise_while_handling(call, handled):
    """Calls `call` inside `except` of `handled`; returns what it raised."""
    try:
        raise handled
    except type(handled):
        try:
            call()
        except BaseException as error:  # noqa: BLE001 - any error is observed
            return error
    raise AssertionError(f"{call!r} did not raise")


def chain_of(error, handled, inner):
    """The context chain from `error`, with the two known exceptions named."""
    names = {id(handled): "handled", id(inner): "inner"}
    chain, seen = [], set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        chain.append(names.get(id(error), type(error).__name__))
        error = error.__context__
    return chain


def broken(*args, **kwargs):
    raise RuntimeError("broken")


def manifest_tree(tmp_path, text):
    root = tmp_path / "t"
    root.mkdir()
    (root / "manifest.json").write_text(text, encoding="utf-8")
    return root


CONTEXT_CASES = {
    # Raised by the modules themselves.
    "profile": lambda tmp, mp: lambda: packaging._profile_key("bogus", "x"),
    "no manifest": lambda tmp, mp: lambda: packaging.load_release_manifest(tmp / "none"),
    "os error": lambda tmp, mp: lambda: packaging._remove_tree(tmp / "none"),
    "unpacking": lambda tmp, mp: lambda: detector.SkillDetector()._dedupe_targets([(1, 2, 3)]),
    # Argument errors.
    "argument type": lambda tmp, mp: lambda: packaging._profile_key(1, "x"),
    "unknown keyword": lambda tmp, mp: lambda: packaging.current_profile(bogus=1),
    "missing argument": lambda tmp, mp: lambda: detector.SkillDetector()._infer_runtime(),
    # Passed through from what the namespace holds.
    "json": lambda tmp, mp: (
        mp.setattr(packaging, "json", types.SimpleNamespace(
            loads=broken, JSONDecodeError=json.JSONDecodeError)),
        lambda: packaging.load_release_manifest(manifest_tree(tmp, "{}")))[1],
    "Path": lambda tmp, mp: (
        mp.setattr(packaging, "Path", broken),
        lambda: packaging.get_central_skills_dir())[1],
    "sibling": lambda tmp, mp: (
        mp.setattr(packaging, "get_builtin_templates_dir", broken),
        lambda: packaging.selected_skill_names(profile="python-release", artifact="wheel"))[1],
}


@pytest.mark.parametrize("case", CONTEXT_CASES)
def test_error_raised_while_handling_is_chained_to_it(tmp_path, monkeypatch, case):
    call = CONTEXT_CASES[case](tmp_path, monkeypatch)
    handled = KeyError("handled")
    # As for any error raised in, or passing through, a Python function
    # called inside `except`.
    assert raise_while_handling(call, handled).__context__ is handled


def test_error_from_invalid_json_chains_through_its_cause(tmp_path):
    root = manifest_tree(tmp_path, "{")
    handled = KeyError("handled")
    error = raise_while_handling(lambda: packaging.load_release_manifest(root), handled)
    # raise SkillReleaseManifestError(...) from exc, inside `except JSONDecodeError as exc`
    assert isinstance(error, packaging.SkillReleaseManifestError)
    assert error.__cause__ is error.__context__
    assert isinstance(error.__context__, json.JSONDecodeError)
    assert error.__context__.__context__ is handled


def test_undecodable_manifest_is_caught_by_a_json_whose_decode_error_is_value_error(
        tmp_path, monkeypatch):
    # The file is read inside the `try`: with a stand-in whose JSONDecodeError
    # is ValueError, a UnicodeDecodeError is that error, and its cause.
    root = tmp_path / "t"
    root.mkdir()
    (root / "manifest.json").write_bytes(b'{"skills": {"\xff": 1}}')
    monkeypatch.setattr(packaging, "json", types.SimpleNamespace(
        loads=json.loads, JSONDecodeError=ValueError))
    with pytest.raises(packaging.SkillReleaseManifestError) as caught:
        packaging.load_release_manifest(root)
    assert isinstance(caught.value.__cause__, UnicodeDecodeError)
    monkeypatch.undo()
    with pytest.raises(UnicodeDecodeError):
        packaging.load_release_manifest(root)


@pytest.mark.parametrize("decode_error", ["missing", "raising", "no class"])
def test_error_while_naming_the_decode_error_keeps_the_decoding_error_as_context(
        tmp_path, monkeypatch, decode_error):
    root = manifest_tree(tmp_path, "{")

    class Json:
        loads = staticmethod(json.loads)

        @property
        def JSONDecodeError(self):
            raise RuntimeError("no decode error today")

    stand_in = {"missing": types.SimpleNamespace(loads=json.loads), "raising": Json(),
                "no class": types.SimpleNamespace(loads=json.loads, JSONDecodeError=42)}
    monkeypatch.setattr(packaging, "json", stand_in[decode_error])
    with pytest.raises((AttributeError, RuntimeError, TypeError)) as caught:
        packaging.load_release_manifest(root)
    assert isinstance(caught.value.__context__, json.JSONDecodeError)


@pytest.mark.parametrize("logger", ["python", "builtin"])
def test_logger_error_while_skipping_a_broken_file_chains_to_its_error(
        tmp_path, monkeypatch, logger):
    # The skill is skipped inside `except Exception as failure:`; an error of
    # the logger is chained to `failure`, which is chained to the caller's.
    skills = tmp_path / "skills"
    (skills / "a" / "data").mkdir(parents=True)
    (skills / "a" / "data" / "VERSION.json").write_text("{oops", encoding="utf-8")
    debug = broken if logger == "python" else int  # int("...", path, exc): TypeError in C
    monkeypatch.setattr(detector, "_logger", types.SimpleNamespace(debug=debug))
    handled = KeyError("handled")
    error = raise_while_handling(
        lambda: detector.SkillDetector().discover(skills_dir=str(skills), cwd=tmp_path), handled)
    assert isinstance(error, RuntimeError if logger == "python" else TypeError)
    assert isinstance(error.__context__, json.JSONDecodeError)
    assert error.__context__.__context__ is handled


def test_no_handled_exception_means_no_context():
    with pytest.raises(packaging.SkillReleaseManifestError) as info:
        packaging._profile_key("bogus", "x")
    assert info.value.__context__ is None


def reraise_handled(text):
    raise sys.exception()


@pytest.mark.parametrize("raiser", ["rebound error class", "rebound json"])
def test_chaining_makes_no_self_reference_or_cycle(tmp_path, monkeypatch, raiser):
    """Raising an exception that is already in the chain of the one being
    handled (or is that one) cuts the chain as the interpreter does."""
    inner = ValueError("inner")
    try:
        raise inner
    except ValueError:
        try:
            raise KeyError("handled")
        except KeyError as caught:
            handled = caught
    assert chain_of(handled, handled, inner) == ["handled", "inner"]

    if raiser == "rebound error class":
        # `raise SkillReleaseManifestError(message)` where the class gives back `inner`.
        monkeypatch.setattr(packaging, "SkillReleaseManifestError", lambda message: inner)
        native = lambda: packaging._profile_key("bogus", "x")  # noqa: E731

        def python():
            raise packaging.SkillReleaseManifestError("message")
    else:
        # `json.loads` re-raises the exception being handled.
        stub = types.SimpleNamespace(loads=reraise_handled, JSONDecodeError=json.JSONDecodeError)
        monkeypatch.setattr(packaging, "json", stub)
        root = manifest_tree(tmp_path, "{}")
        native = lambda: packaging.load_release_manifest(root)  # noqa: E731

        def python():
            return stub.loads("{}")

    observed = []
    for call in (python, native):
        # Restore the chain handled -> inner before each run.
        handled.__context__, inner.__context__ = inner, None
        try:
            raise handled
        except KeyError:
            try:
                call()
            except BaseException as error:  # noqa: BLE001
                observed.append((chain_of(error, handled, inner),
                                 chain_of(handled, handled, inner)))
    assert observed[0] == observed[1]
    if raiser == "rebound error class":
        assert observed[1] == (["inner", "handled"], ["handled"])
    else:
        assert observed[1] == (["handled", "inner"], ["handled", "inner"])


# importlib.reload --------------------------------------------------------------

RELOAD_SCRIPT = r'''
import gc, importlib, json, pathlib, sys, weakref
import typing
import tarvek.skills.domain.models as models
from tarvek.skills import packaging as pk
import tarvek.skills.discovery.detector as det

kind, root, twin_dir = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
sys.path.insert(0, twin_dir)
import twin

class ObjectPath(pathlib.Path):
    pass

def use_kind():
    if kind == "object":
        pk.Path = det.Path = ObjectPath

IDENTICAL = (type(json), type(typing.Any), type(det._logger))

def rebinding(module, names):
    """Reloads `module`; which of `names` now hold new objects."""
    before = dict(vars(module))
    order = list(vars(module))
    assert importlib.reload(module) is module
    assert list(vars(module)) == order, "the namespace keeps its order"
    return {name: vars(module)[name] is not before[name] for name in names}

out = {}
pk.Path = None
pk.MANIFEST_FILENAME = "changed.json"
pk.DEFAULT_PROFILE = "other"
out["packaging new"] = rebinding(pk, [
    "json", "os", "sys", "Path", "Any", "_PROFILE_KEYS", "SkillReleaseManifestError",
    "get_central_skills_dir", "load_release_manifest", "current_profile", "_remove_packaging_junk"])
out["constants"] = [pk.MANIFEST_FILENAME, pk.DEFAULT_PROFILE, pk.Path is pathlib.Path]
use_kind()
out["loads manifest.json"] = pk.load_release_manifest(root)
out["current_profile"] = pk.current_profile()

det.SkillDetector = None
det.Path = None
out["detector new"] = rebinding(det, [
    "json", "logging", "Path", "SkillRecord", "_logger", "SkillDetector"])
use_kind()
skills = root / "skills"
out["discover"] = [record.name for record in det.SkillDetector().discover(str(skills), root)]
class Sub(det.SkillDetector):
    def _infer_runtime(self, skill_dir):
        return "sub"
out["override"] = [record.runtime for record in Sub().discover(str(skills), root)]
del Sub

# The objects a reload replaces are released.
old = [weakref.ref(pk.load_release_manifest), weakref.ref(pk.SkillReleaseManifestError),
       weakref.ref(det.SkillDetector), weakref.ref(det.SkillDetector.__dict__["discover"])]
importlib.reload(pk)
importlib.reload(det)
gc.collect()
out["released"] = [ref() is None for ref in old]

# A body that fails part-way has bound what came before the failure and not
# what comes after; a Python module of the same imports does the same.
def failing_reload(module, constant):
    module.json = module.Path = None
    setattr(module, constant, "changed")
    any_ = typing.Any
    del typing.Any
    try:
        importlib.reload(module)
        raised = None
    except ImportError as error:
        raised = type(error).__name__
    finally:
        typing.Any = any_
    state = [raised, module.json is json, module.Path is pathlib.Path, getattr(module, constant)]
    importlib.reload(module)
    return state + [getattr(module, constant)]

out["failed reload"] = failing_reload(pk, "MANIFEST_FILENAME")
out["failed reload, Python"] = failing_reload(twin, "MANIFEST_FILENAME")

record = models.SkillRecord
del models.SkillRecord
det.json = det.SkillDetector = None
try:
    importlib.reload(det)
except ImportError:
    out["detector failed reload"] = [det.json is json, det.SkillDetector is None]
finally:
    models.SkillRecord = record
importlib.reload(det)
out["detector retried"] = det.SkillDetector is not None

# Reloading again and again keeps nothing of the earlier rounds.
gc.collect()
blocks = sys.getallocatedblocks()
for _ in range(200):
    importlib.reload(pk)
    importlib.reload(det)
gc.collect()
out["blocks per reload"] = (sys.getallocatedblocks() - blocks) // 200
print(json.dumps(out))
'''

TWIN_MODULE = '''\
import json
import os
import sys
from pathlib import Path
from typing import Any

MANIFEST_FILENAME = "manifest.json"
'''


def test_reload_runs_the_module_body_again(tmp_path, home, path_kind):
    root = tmp_path / "root"
    skill = root / "skills" / "one"
    (skill / "data").mkdir(parents=True)
    (skill / "data" / "VERSION.json").write_text('{"version": "1"}', encoding="utf-8")
    (root / "manifest.json").write_text('{"skills": {"one": {}}}', encoding="utf-8")
    (root / "changed.json").write_text('{"skills": {"changed": {}}}', encoding="utf-8")
    twin_dir = tmp_path / "twin"
    twin_dir.mkdir()
    (twin_dir / "twin.py").write_text(TWIN_MODULE, encoding="utf-8")

    result = subprocess.run([sys.executable, "-c", RELOAD_SCRIPT, path_kind, root, twin_dir],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)

    # Imported modules and the imported names stay what they are; everything
    # the body makes is new.
    assert out["packaging new"] == {
        "json": False, "os": False, "sys": False, "Path": True, "Any": False,
        "_PROFILE_KEYS": True, "SkillReleaseManifestError": True,
        "get_central_skills_dir": True, "load_release_manifest": True,
        "current_profile": True, "_remove_packaging_junk": True}
    assert out["constants"] == ["manifest.json", "dev", True]
    assert out["loads manifest.json"] == {"skills": {"one": {}}}
    assert out["current_profile"] == "dev"
    assert out["detector new"] == {"json": False, "logging": False, "Path": True,
                                   "SkillRecord": False, "_logger": False, "SkillDetector": True}
    assert out["discover"] == ["one"]
    assert out["override"] == ["sub"]
    assert out["released"] == [True, True, True, True]
    assert out["failed reload"] == out["failed reload, Python"] == [
        "ImportError", True, True, "changed", "manifest.json"]
    assert out["detector failed reload"] == [True, True]
    assert out["detector retried"] is True
    assert out["blocks per reload"] < 5


# inspect.signature ---------------------------------------------------------------


def python_twin(source, name, module):
    """The function `name` defined by `source` with `module` as its globals."""
    namespace = {}
    exec(source, namespace)  # noqa: S102 - the test's own text
    defined = namespace[name]
    twin = types.FunctionType(defined.__code__, vars(module), name, defined.__defaults__)
    twin.__kwdefaults__ = defined.__kwdefaults__
    twin.__annotations__ = defined.__annotations__
    return twin


TWINS = {
    "load_release_manifest": (packaging, packaging.load_release_manifest, '''
def load_release_manifest(templates_dir: "Path | None" = None) -> "dict[str, Any]": pass
'''),
    "skill_allowed": (packaging, packaging.skill_allowed, '''
def skill_allowed(skill_name: "str", *, profile: "str", artifact: "str",
                  manifest: "dict[str, Any] | None" = None,
                  templates_dir: "Path | None" = None) -> "bool": pass
'''),
    "discover": (detector, detector.SkillDetector.discover, '''
def discover(self, skills_dir: "str | None" = None,
             cwd: "Path | None" = None) -> "list[SkillRecord]": pass
'''),
}


@pytest.mark.parametrize("name", TWINS)
@pytest.mark.parametrize("eval_str", [False, True])
def test_signature_is_that_of_the_python_function(name, eval_str):
    module, native, source = TWINS[name]
    twin = python_twin(source, name, module)
    assert (inspect.signature(native, eval_str=eval_str)
            == inspect.signature(twin, eval_str=eval_str))


def test_string_annotations_evaluate_in_the_module_namespace():
    """Evaluated through `__globals__` at the time of asking, so a rebound
    `Path` (as on the object path) shows."""
    signature = inspect.signature(detector.SkillDetector().detect_install_target, eval_str=True)
    assert signature.parameters["cwd"].annotation == (detector.Path | None)
    assert list(signature.parameters) == ["cwd", "preferred_runtime"]
    assert signature.return_annotation == tuple[str, detector.Path]


def python_function(templates_dir=None):
    pass


@pytest.mark.parametrize("function", [packaging.load_release_manifest, python_function],
                         ids=["extension", "python"])
def test_assigned_signature_and_wrapped(function):
    assert not hasattr(function, "__signature__")
    own = inspect.signature(function)
    assigned = inspect.Signature([inspect.Parameter("x", inspect.Parameter.KEYWORD_ONLY)])

    def wrapped(a, b=1):
        pass

    try:
        function.__wrapped__ = wrapped
        assert inspect.signature(function) == inspect.signature(wrapped)
        assert inspect.signature(function, follow_wrapped=False) == own
        function.__signature__ = assigned
        assert inspect.signature(function) is assigned
    finally:
        vars(function).pop("__wrapped__", None)
        vars(function).pop("__signature__", None)
    assert inspect.signature(function) == own


# List results of overrides --------------------------------------------------------


class TargetList(list):
    pass


@pytest.mark.parametrize("override, call", [
    ("detect_all_install_targets", {"preferred_runtimes": ["all"]}),
    ("detect_available_install_targets", {}),
    ("_dedupe_targets", {"preferred_runtimes": ["codex"]}),
])
def test_list_subclass_from_an_override_is_returned(home, tmp_path, override, call):
    returned = TargetList([("claude", tmp_path / "x")])

    class Detector(detector.SkillDetector):
        pass

    setattr(Detector, override, lambda self, *args, **kwargs: returned)
    # `return self.<override>(...)` in Python hands on the very object.
    assert Detector().detect_install_targets(tmp_path, **call) is returned


@pytest.mark.parametrize("method", ["detect_available_install_targets",
                                    "detect_global_install_targets",
                                    "detect_all_install_targets"])
def test_list_subclass_from_dedupe_is_returned(home, method):
    returned = TargetList()

    class Detector(detector.SkillDetector):
        def _dedupe_targets(self, targets):
            return returned

    assert getattr(Detector(), method)() is returned


def test_a_tuple_from_an_override_is_still_refused(home, tmp_path):
    class Detector(detector.SkillDetector):
        def detect_all_install_targets(self):
            return ()

    with pytest.raises(TypeError, match="detect_all_install_targets"):
        Detector().detect_install_targets(tmp_path, ["all"])


# Keyword suggestions ----------------------------------------------------------


def collect_skill_datas(*, profile=None, templates_dir=None):
    pass


def skill_allowed(skill_name, *, profile, artifact, manifest=None, templates_dir=None):
    pass


class SkillDetector:
    def candidate_dirs(self, skills_dir=None, cwd=None):
        pass


@pytest.mark.parametrize("native, python, kwargs", [
    (packaging.collect_skill_datas, collect_skill_datas, {"template_dir": None}),
    (packaging.collect_skill_datas, collect_skill_datas, {"PROFILE": None}),
    (packaging.skill_allowed, skill_allowed, {"profile": "p", "artifact": "a", "manifests": None}),
    (packaging.skill_allowed, skill_allowed, {"zzzzzz": 1}),
    (detector.SkillDetector().candidate_dirs, SkillDetector().candidate_dirs, {"skill_dir": ""}),
    (detector.SkillDetector().candidate_dirs, SkillDetector().candidate_dirs, {"sel": ""}),
], ids=["suggested", "case", "keyword-only", "none close", "method", "self"])
def test_unknown_keyword_message_is_pythons(native, python, kwargs):
    args = ("name",) if python is skill_allowed else ()
    messages = []
    for function in (python, native):
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        messages.append(str(info.value))
    assert messages[1] == messages[0]
