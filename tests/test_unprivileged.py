"""Permission errors, seen by a process without privileges.

The suite runs as root, which searches and reads every directory; here a
child interpreter runs without any capability (so the modes bind it, as
the owner of the files) and runs each operation on both paths over
directories it may list but not search, and files it may not read.  Both
paths must fail (or succeed) alike.
"""

import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.geteuid() != 0,
    reason="needs root on Linux to drop its capabilities")

CHILD = textwrap.dedent("""
    import json, logging, pathlib, sys
    from pathlib import Path
    from tarvek.skills import packaging
    from tarvek.skills.discovery import detector

    root = Path(sys.argv[1])
    ObjectPath = type("ObjectPath", (pathlib.Path,), {})
    skipped = []
    logging.getLogger("tarvek.skills.detector").addHandler(
        type("H", (logging.Handler,), {"emit": lambda self, r: skipped.append(str(r.args[0]))})())
    logging.getLogger("tarvek.skills.detector").setLevel(logging.DEBUG)

    def outcome(call):
        try:
            value = call()
        except Exception as error:
            return ["error", type(error).__name__, getattr(error, "errno", None),
                    getattr(error, "strerror", None),
                    type(getattr(error, "filename", None)).__name__,
                    str(getattr(error, "filename", None))]
        return ["value", repr(value)]

    operations = {
        "list": lambda: packaging.list_template_dirs(root / "unsearchable"),
        "collect": lambda: packaging.collect_skill_datas(profile="dev",
                                                         templates_dir=root / "templates"),
        "validate": lambda: packaging.validate_release_manifest(root / "templates"),
        "load": lambda: packaging.load_release_manifest(root / "unreadable"),
        "packable": lambda: packaging._is_packable_file(root / "templates" / "locked" / "SKILL.md"),
        "discover": lambda: [r.name for r in detector.SkillDetector().discover(
            skills_dir=str(root / "installed"), cwd=root)],
    }
    results = {}
    for kind in ("native", "object"):
        packaging.Path = detector.Path = pathlib.Path if kind == "native" else ObjectPath
        skipped.clear()
        results[kind] = {name: outcome(call) for name, call in operations.items()}
        results[kind]["skipped"] = sorted(skipped)
    print(json.dumps(results))
""")


def make(path, text="x", mode=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    if mode is not None:
        path.chmod(mode)


@pytest.fixture
def tree():
    from pathlib import Path

    root = Path(tempfile.mkdtemp(prefix="tarvek-unprivileged-"))
    try:
        manifest = json.dumps({"skills": {"locked": {"tier": "t", "reason": "r", "wheel": True}}})
        make(root / "templates" / "manifest.json", manifest)
        make(root / "templates" / "locked" / "SKILL.md")
        make(root / "templates" / "locked" / "data" / "VERSION.json", "{}")
        (root / "unsearchable" / "a").mkdir(parents=True)
        make(root / "unreadable" / "manifest.json", manifest)
        make(root / "installed" / "ok" / "data" / "VERSION.json", '{"version": "1"}')
        make(root / "installed" / "secret" / "data" / "VERSION.json", '{"version": "1"}')
        # Listable but not searchable; unreadable files.
        (root / "templates" / "locked").chmod(0o600)
        (root / "unsearchable").chmod(0o600)
        (root / "unreadable" / "manifest.json").chmod(0o000)
        (root / "installed" / "secret" / "data" / "VERSION.json").chmod(0o000)
        root.chmod(0o755)
        yield root
    finally:
        for path in [root, *root.rglob("*")]:
            if path.is_dir() and not path.is_symlink():
                path.chmod(0o755)
        shutil.rmtree(root)


def test_permission_errors_agree_on_both_paths(tree):
    root = tree

    def drop():
        # Empties the bounding set: the interpreter then starts as root
        # without capabilities.
        libc = ctypes.CDLL(None, use_errno=True)
        for capability in range(64):
            libc.prctl(24, capability, 0, 0, 0)  # PR_CAPBSET_DROP

    env = dict(os.environ, HOME=str(root))
    child = subprocess.run([sys.executable, "-c", CHILD, str(root)], capture_output=True,
                           text=True, timeout=60, preexec_fn=drop, env=env, cwd=str(root))
    assert child.returncode == 0, child.stderr
    results = json.loads(child.stdout)
    assert results["native"] == results["object"]
    native = results["native"]
    # Listing works without search permission; asking about an entry does not.
    assert native["list"][:3] == ["error", "PermissionError", 13]
    assert native["collect"][:3] == ["error", "PermissionError", 13]
    assert native["packable"][:3] == ["error", "PermissionError", 13]
    assert native["load"][:3] == ["error", "PermissionError", 13]
    # A VERSION.json that cannot be read is skipped with the DEBUG message.
    assert native["discover"] == ["value", "['ok']"]
    assert native["skipped"] == [str(root / "installed" / "secret" / "data" / "VERSION.json")]
