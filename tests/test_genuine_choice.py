"""One behaviour whatever the caller patched.

A customisation of the standard library (tests/customisations.py) must have
the effect it has on a pure-Python module, whether it was made before the
modules were imported (in a child process), after, or undone again: then the
next call runs natively once more.  Whatever sys.modules holds, nothing
crashes.
"""

import builtins
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

import pytest

import customisations
from conftest import count_pathlib_calls
from customisations import CUSTOMISATIONS, OPERATIONS, build, observe, on_fake_disk
from tarvek.skills import packaging
from tarvek.skills.discovery import detector

TESTS = os.path.dirname(os.path.abspath(__file__))

pytestmark = pytest.mark.usefixtures("no_tarvek_environment", "home")


def child(code, **values):
    """Runs `code` (formatted with `values`) in a fresh interpreter; its JSON."""
    source = "import sys\nsys.path.insert(0, {tests!r})\n".format(tests=TESTS) + textwrap.dedent(
        code).format(**values)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    assert done.returncode == 0, done.stderr  # a crash is a negative status
    return json.loads(done.stdout)


def ran_natively(root):
    """Whether these calls run natively, as they do with nothing patched (in
    a build with the native walker)."""
    build(root)
    with count_pathlib_calls() as calls:
        packaging.collect_skill_datas(profile="dev", templates_dir=root)
        packaging._remove_packaging_junk(root)
    return calls.total == 0 or not WALKER


def _walker():
    with tempfile.TemporaryDirectory() as directory, count_pathlib_calls() as calls:
        packaging.list_template_dirs(pathlib.Path(directory))
    return calls.total == 0


WALKER = _walker()  # nothing is patched while the tests are collected


# Where each customisation shows, in the result or in the calls it saw, as it
# does for a pure-Python module (rglob() keeps the os.scandir and os.lstat
# that glob captured when it was imported, so only iterdir() shows a patched
# os.scandir; rglob(p) joins "**" and p).
SHOWS_IN = {
    "os.unlink dry run": {"_remove_packaging_junk"},
    "os.scandir": set(OPERATIONS) - {"load_release_manifest"},
    "os.stat": set(OPERATIONS),
    "io.open": {"load_release_manifest", "validate_release_manifest", "discover"},
    "os.path.join": set(OPERATIONS) - {"list_template_dirs"},
    "posixpath.splitroot": set(OPERATIONS),
    "del posixpath.join": set(OPERATIONS) - {"list_template_dirs"},
    "pathlib.Path.is_dir": set(OPERATIONS) - {"load_release_manifest"},
    "builtins.sorted": {"list_template_dirs", "collect_skill_datas", "validate_release_manifest",
                        "discover"},
}


@pytest.mark.parametrize("name", CUSTOMISATIONS)
def test_a_customisation_shows_before_import_after_import_and_not_once_undone(tmp_path, name):
    root = tmp_path / "t"
    baseline = observe(packaging, detector, root)
    undo = customisations.apply(name)
    try:
        after = observe(packaging, detector, root)
    finally:
        undo()
    before = child("""
        import pathlib, json, customisations
        customisations.apply({name!r})
        from tarvek.skills import packaging
        from tarvek.skills.discovery import detector
        print(json.dumps(customisations.observe(packaging, detector, pathlib.Path({root!r}))))
        """, name=name, root=str(root))

    assert before == after
    for operation, (outcome, seen) in after.items():
        if operation in SHOWS_IN[name]:
            assert seen or outcome != baseline[operation][0], operation
        else:
            assert [outcome, seen] == [baseline[operation][0], []], operation
    if name == "os.unlink dry run":  # nothing deleted, so the rmdir after it fails
        (outcome, seen) = after["_remove_packaging_junk"]
        assert outcome[:2] == ["raised", "OSError"] and "a/__pycache__/m.pyc" in outcome[-1]
        assert seen[0][0] == "unlink" and seen[0][1].endswith("__pycache__/m.pyc")
    if name == "pathlib.Path.is_dir":
        assert after["list_template_dirs"][0][1] == [str(root / "a")]
    # Undone: the outcome of before the patch, on the native path again.
    assert observe(packaging, detector, root) == baseline
    assert ran_natively(root)


# Shadowing builtins ---------------------------------------------------------------

# Which operation names which builtin in its steps.  `type` and `open` are
# never named: shadowing them changes nothing.
BUILTIN_USES = {
    "sorted": {"list_template_dirs", "collect_skill_datas", "validate_release_manifest",
               "discover", "discover-broken"},
    "set": {"validate_release_manifest", "discover", "discover-broken"},
    "str": {"collect_skill_datas", "validate_release_manifest", "discover", "discover-broken"},
    "isinstance": {"load_release_manifest", "validate_release_manifest", "skill_allowed"},
    "dict": {"load_release_manifest", "validate_release_manifest", "skill_allowed"},
    "any": {"validate_release_manifest"},
    "list": {"_remove_packaging_junk"},
    "getattr": {"get_builtin_templates_dir"},
    "bool": {"skill_allowed"},
    "Exception": {"discover-broken"},
    "type": set(),
    "open": set(),
}

MORE_OPERATIONS = {
    "get_builtin_templates_dir": lambda pk, det, t: f"{pk.get_builtin_templates_dir()}",
    "skill_allowed": lambda pk, det, t: pk.skill_allowed(
        "a", profile="python-release", artifact="wheel", templates_dir=t),
    "discover-broken": lambda pk, det, t: (
        (t / "a" / "data" / "VERSION.json").write_text("{broken", encoding="utf-8"),
        [r.name for r in det.SkillDetector().discover(str(t), cwd=t)])[1],
}


def shadow_of(name, calls):
    """What shadows a builtin: it notes the calls our modules make (they call
    from C, so the frame above is this file's operation) and defers to the
    builtin.  `Exception` is shadowed by a class that catches nothing the
    steps raise."""
    real = getattr(builtins, name)
    if name == "Exception":
        return type("Exception", (real,), {})

    def note():
        if sys._getframe(2).f_code.co_filename == customisations.__file__ or \
                sys._getframe(2).f_code.co_filename == __file__:
            calls.append(name)

    if not isinstance(real, type):
        return lambda *args, **kwargs: (note(), real(*args, **kwargs))[1]

    class Counting(type(real)):
        def __call__(cls, *args, **kwargs):
            note()
            return real(*args, **kwargs)

        def __instancecheck__(cls, instance):
            note()
            return isinstance(instance, real)

    return Counting(name, (), {})


@pytest.mark.parametrize("where", ["module", "builtins"])
@pytest.mark.parametrize("name", BUILTIN_USES)
def test_a_shadowed_builtin_is_used_where_the_steps_name_it(tmp_path, name, where):
    root = tmp_path / "t"
    operations = {**OPERATIONS, **MORE_OPERATIONS}
    calls = []
    shadow = shadow_of(name, calls)
    for operation, run in operations.items():
        build(root)
        expected = run(packaging, detector, root)
        build(root)
        del calls[:]
        owners = [packaging, detector] if where == "module" else [builtins]
        saved = [vars(owner).get(name) for owner in owners]
        for owner in owners:
            setattr(owner, name, shadow)
        try:
            result = run(packaging, detector, root)
        except BaseException as error:  # noqa: BLE001 - `Exception` may be the shadow here
            result = error
        finally:
            for owner, value in zip(owners, saved):
                if value is None:
                    delattr(owner, name)
                else:
                    setattr(owner, name, value)
        if name == "Exception":
            assert isinstance(result, ValueError) == (operation in BUILTIN_USES[name]), operation
        else:
            assert result == expected, operation
            assert bool(calls) == (operation in BUILTIN_USES[name]), (operation, calls)


def test_a_shadowing_builtin_changes_the_result_then_native_again(tmp_path, monkeypatch):
    root = tmp_path / "t"
    build(root)
    monkeypatch.setattr(packaging, "sorted", lambda items: builtins.sorted(items)[::-1],
                        raising=False)
    monkeypatch.setattr(packaging, "str", lambda value: f"<{value}>", raising=False)
    assert [p.name for p in packaging.list_template_dirs(root)] == ["b", "a"]
    assert packaging.collect_skill_datas(profile="dev", templates_dir=root)[0] == (
        f"<{root}/b/data/VERSION.json>", "<tarvek/skills/templates/b/data>")
    monkeypatch.undo()
    assert ran_natively(root)


# Whatever sys.modules holds ----------------------------------------------------------

ENTRIES = {"wrapper": "Wrap(sys.modules[{m!r}])", "deleted": None, "object": "42",
           "none": "None"}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("module", ["os", "io", "posixpath", "pathlib", "json", "logging",
                                    "shutil"])
def test_whatever_sys_modules_holds_at_import_nothing_crashes(tmp_path, module, entry):
    root = tmp_path / "t"
    expression = ENTRIES[entry] and ENTRIES[entry].format(m=module)
    results = child("""
        import io, json, logging, os, pathlib, posixpath, shutil, customisations
        class Wrap:
            def __init__(self, module): self._module = module
            def __getattr__(self, name): return getattr(self._module, name)
        expression = {expression!r}
        if expression is None:
            del sys.modules[{m!r}]
        else:
            sys.modules[{m!r}] = eval(expression)
        def outcome(run):
            try:
                return ["returned", run()]
            except Exception as error:
                return ["raised", type(error).__name__]
        results = {{
            "python": outcome(lambda: exec("import json, logging, os, shutil, io\\n"
                                           "from pathlib import Path")),
            "import": outcome(lambda: exec("from tarvek.skills import packaging\\n"
                                           "from tarvek.skills.discovery import detector")),
        }}
        if results["import"][0] == "returned":
            from tarvek.skills import packaging
            from tarvek.skills.discovery import detector
            results.update(customisations.observe(packaging, detector, pathlib.Path({root!r})))
        print(json.dumps(results))
        """, expression=expression, m=module, root=str(root))
    # No crash (the child ran to its end).  A wrapper or a deleted entry: the
    # modules import exactly when the same imports in Python do, and then
    # behave as ever.  Anything else: importing raises what using the
    # object raises (ImportError, AttributeError), as it would in Python.
    imported = results.pop("import")
    python = results.pop("python")
    if entry in ("wrapper", "deleted"):
        assert imported == python
        if imported[0] == "returned":
            assert results == observe(packaging, detector, root)
    elif imported[0] == "raised":
        assert imported[1] in ("ImportError", "ModuleNotFoundError", "AttributeError")


@pytest.mark.parametrize("entry", ["wrapper", "object", "deleted"])
def test_whatever_sys_modules_holds_at_call_time_changes_nothing(tmp_path, monkeypatch, entry):
    root = tmp_path / "t"
    baseline = observe(packaging, detector, root)

    class Wrap:
        def __init__(self, module):
            self._module = module

        def __getattr__(self, name):
            return getattr(self._module, name)

    for module in ("os", "io", "posixpath", "pathlib", "json", "logging", "shutil"):
        if entry == "deleted":
            monkeypatch.delitem(sys.modules, module)
        else:
            monkeypatch.setitem(sys.modules, module,
                                Wrap(sys.modules[module]) if entry == "wrapper" else 42)
    assert observe(packaging, detector, root) == baseline
    assert ran_natively(root)


# pyfakefs ------------------------------------------------------------------------

ON_FAKE_DISK = {
    "list": ["/t/a", "/t/b"],
    "discover": [["a", "2.0"], ["b", "2.0"]],
    "prune": ["a"],
    "left": ["a", "manifest.json", "SKILL.md", "data"],
}


def test_pyfakefs_started_before_import_sees_every_call():
    assert not os.path.exists("/t")
    assert child("""
        import json, customisations
        from pyfakefs.fake_filesystem_unittest import Patcher
        with Patcher() as patcher:
            from tarvek.skills import packaging
            from tarvek.skills.discovery import detector
            print(json.dumps(customisations.on_fake_disk(patcher.fs, packaging, detector)))
        """) == ON_FAKE_DISK


def test_pyfakefs_started_after_import_sees_every_call_then_native_again(tmp_path):
    from pyfakefs.fake_filesystem_unittest import Patcher

    with Patcher() as patcher:
        assert on_fake_disk(patcher.fs, packaging, detector) == ON_FAKE_DISK
    assert not os.path.exists("/t")
    assert ran_natively(tmp_path / "t")


@pytest.mark.parametrize("attribute", ["is_dir", "home", "name"])
def test_a_patch_undone_by_hand_runs_natively_again(tmp_path, attribute):
    # Undone by putting back what a lookup gave (PathBase.is_dir, a bound
    # class method, PurePath's property), which lands in Path's own dict:
    # that is pathlib's own behaviour still.
    root = tmp_path / "t"
    pristine = attribute in vars(pathlib.Path)
    original = getattr(pathlib.Path, attribute) if attribute != "name" else vars(
        pathlib.PurePath)["name"]
    try:
        setattr(pathlib.Path, attribute, property(lambda self: "x") if attribute == "name"
                else lambda *args, **kwargs: None)
        assert not WALKER or not ran_natively(root)
        setattr(pathlib.Path, attribute, original)
        assert ran_natively(root)
    finally:
        if not pristine and attribute in vars(pathlib.Path):
            delattr(pathlib.Path, attribute)
