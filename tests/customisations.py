"""What test suites and packaging scripts do to the standard library, and
the operations observed under it, for the tests of the path choice.

Each customisation patches one thing, records in SEEN what the patched
object was asked while RECORDING is on, and returns a function that undoes
it.  This module imports nothing of tarvek: a child process applies a
customisation (or replaces a sys.modules entry) before the modules are
imported, and then observes them with the same code as the test process.
"""

import builtins
import io
import json
import os
import pathlib
import posixpath
import shutil

SEEN = []
RECORDING = [False]


def _note(name, args):
    if RECORDING[0]:
        first = args[0] if args else ""
        SEEN.append([name, os.fspath(first) if isinstance(first, (str, os.PathLike))
                     else type(first).__name__])


def _replace(owner, attribute, make):
    """Replaces owner.attribute; the undo puts back exactly what was there
    (an attribute a class inherited is deleted again, as mock.patch does)."""
    own = attribute in vars(owner)
    vars_value = vars(owner).get(attribute)
    original = getattr(owner, attribute)
    setattr(owner, attribute, make(original))
    if own:
        return lambda: setattr(owner, attribute, vars_value)
    return lambda: delattr(owner, attribute)


def recorder(owner, attribute, label=None):
    """Delegates to the original after noting the call."""

    def make(original):
        def patched(*args, **kwargs):
            _note(label or attribute, args)
            return original(*args, **kwargs)

        return patched

    return _replace(owner, attribute, make)


def dry_run_unlink():
    """A shim that says what it would delete and deletes nothing."""
    return _replace(os, "unlink", lambda original: lambda path, *a, **k: _note("unlink", [path]))


def hiding_is_dir():
    """pathlib.Path.is_dir that hides directories named "b"."""

    def make(original):
        def is_dir(self, *, follow_symlinks=True):
            _note("is_dir", [self])
            return self.name != "b" and original(self, follow_symlinks=follow_symlinks)

        return is_dir

    return _replace(pathlib.Path, "is_dir", make)


def deleted_join():
    original = posixpath.join
    del posixpath.join
    return lambda: setattr(posixpath, "join", original)


CUSTOMISATIONS = {
    "os.unlink dry run": dry_run_unlink,
    "os.scandir": lambda: recorder(os, "scandir"),
    "os.stat": lambda: recorder(os, "stat"),
    "io.open": lambda: recorder(io, "open"),
    "os.path.join": lambda: recorder(os.path, "join"),
    "posixpath.splitroot": lambda: recorder(posixpath, "splitroot"),
    "del posixpath.join": deleted_join,
    "pathlib.Path.is_dir": hiding_is_dir,
    "builtins.sorted": lambda: recorder(builtins, "sorted"),
}


_ACTIVE = []  # (name, undo) of the customisations in force


def apply(name):
    """Applies a customisation; returns the function that undoes it."""
    entry = [name, CUSTOMISATIONS[name]()]
    _ACTIVE.append(entry)

    def undo():
        entry[1]()
        _ACTIVE.remove(entry)

    return undo


class suspended:
    """Lifts the customisations in force meanwhile (the test's own file work
    must not depend on them), and puts them back."""

    def __enter__(self):
        for entry in reversed(_ACTIVE):
            entry[1]()

    def __exit__(self, *exc):
        for entry in _ACTIVE:
            entry[1] = CUSTOMISATIONS[entry[0]]()


# The operations observed -----------------------------------------------------


def build(root):
    """A templates tree; rebuilt before every operation."""
    shutil.rmtree(root, ignore_errors=True)
    files = {"SKILL.md": "x", "data/VERSION.json": '{"version": "1.0"}', "__pycache__/m.pyc": "x"}
    for name in ("a", "b"):
        for relative, text in files.items():
            path = root / name / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
    (root / "a" / "x.pyo").write_text("x", encoding="utf-8")
    (root / "manifest.json").write_text(json.dumps(
        {"skills": {"a": {"wheel": True, "tier": "t", "reason": "r"}, "c": {}}}), encoding="utf-8")


# Each returns something JSON can carry, paths as text, and names no builtin
# itself (a test shadows them).
OPERATIONS = {
    "list_template_dirs": lambda pk, det, t: [f"{p}" for p in pk.list_template_dirs(t)],
    "collect_skill_datas": lambda pk, det, t: pk.collect_skill_datas(profile="dev",
                                                                      templates_dir=t),
    "load_release_manifest": lambda pk, det, t: [*pk.load_release_manifest(t)["skills"]],
    "validate_release_manifest": lambda pk, det, t: pk.validate_release_manifest(t),
    "_remove_packaging_junk": lambda pk, det, t: pk._remove_packaging_junk(t),
    "discover": lambda pk, det, t: [[r.name, r.version] for r in det.SkillDetector().discover(
        str(t), cwd=t)],
}


def observe(pk, det, root):
    """{operation: [outcome, what the customisation saw]}, each on a fresh tree."""
    found = {}
    for name, operation in OPERATIONS.items():
        with suspended():
            build(root)
        del SEEN[:]
        RECORDING[0] = True
        try:
            outcome = ["returned", operation(pk, det, pathlib.Path(str(root)))]
        except Exception as error:  # noqa: BLE001 - the error is the outcome
            outcome = ["raised", type(error).__name__, str(error)]
        finally:
            RECORDING[0] = False
        if name == "_remove_packaging_junk":
            with suspended():
                outcome.append(sorted(str(p.relative_to(root)) for p in root.rglob("*")))
        found[name] = json.loads(json.dumps([outcome, list(SEEN)]))
    return found


def on_fake_disk(fake, pk, det):
    """Runs operations on a tree that exists only in pyfakefs's file system."""
    for name in ("a", "b"):
        fake.create_file(f"/t/{name}/SKILL.md")
        fake.create_file(f"/t/{name}/data/VERSION.json", contents='{"version": "2.0"}')
        fake.create_file(f"/t/{name}/__pycache__/m.pyc")
    fake.create_file("/t/manifest.json", contents=json.dumps({"skills": {"a": {"wheel": True}}}))
    root = pk.Path("/t")
    return {
        "list": [str(p) for p in pk.list_template_dirs(root)],
        "discover": [[r.name, r.version] for r in det.SkillDetector().discover("/t", cwd=root)],
        "prune": pk.prune_templates_dir(root, profile="python-release", artifact="wheel",
                                        manifest_templates_dir=root),
        "left": sorted(fake.listdir("/t")) + sorted(fake.listdir("/t/a")),
    }
