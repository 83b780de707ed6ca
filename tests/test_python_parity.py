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
