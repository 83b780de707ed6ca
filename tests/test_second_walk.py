"""The second walk of junk removal, answered from the first.

`_remove_packaging_junk` lists the whole tree twice: every `__pycache__`
first, then every entry, after deleting the caches.  Natively the second
listing is the first one less what the call deleted, with no directory read
again, unless an audit hook listens (it may change the tree at the walk's
events).  The suite's own audit hook listens in this process, so the walks
without a hook run in a child interpreter, and must leave exactly the tree
the object path leaves.
"""

import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, os, pathlib, shutil, sys
    from pathlib import Path
    from tarvek.skills import packaging

    base = Path(sys.argv[1])
    ObjectPath = type("ObjectPath", (pathlib.Path,), {})

    def write(path, text="x"):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)

    def tree(root):
        for relative in ["a/SKILL.md", "a/__pycache__/m.pyc", "a/__pycache__/sub/__pycache__/n.pyc",
                         "a/__pycache__/keep.txt", "a/x.pyc", "a/y.pyo", "a/.DS_Store", "a/z.PYC",
                         "a/deep/er/__pycache__/o.pyc", "a/deep/er/p.pyc", "a/deep/er/ok.md",
                         "b/__pycache__", "b/c/d/e/f.pyc", "b/c/ok.txt", "c/data/VERSION.json",
                         "drop/__pycache__/q.pyc", "drop/SKILL.md", "manifest.json"]:
            write(root / relative)
        os.makedirs(base / "outside" / "__pycache__", exist_ok=True)
        write(base / "outside" / "__pycache__" / "kept.pyc")
        write(base / "outside" / "kept.pyc")
        (root / "b" / "c" / "__pycache__").symlink_to(base / "outside" / "__pycache__")
        (root / "b" / "link.pyc").symlink_to(base / "outside" / "kept.pyc")
        (root / "b" / "linked").symlink_to(base / "outside")
        for name in "abc":
            (base / "m" / name).mkdir(parents=True, exist_ok=True)
        write(base / "m" / "manifest.json", json.dumps({"skills": {"a": {"wheel": True},
                                                                   "b": {"wheel": True},
                                                                   "c": {"wheel": True}}}))

    def snapshot(top):
        found = []
        for path, dirs, files in os.walk(top):
            for name in sorted(dirs + files):
                full = os.path.join(path, name)
                found.append((os.path.relpath(full, top), os.path.islink(full)))
        return sorted(found)

    results = {}
    for kind in ["native", "object"]:
        for operation in ["junk", "prune"]:
            shutil.rmtree(base / "outside", ignore_errors=True)
            root = base / f"{kind}-{operation}"
            tree(root)
            packaging.Path = pathlib.Path if kind == "native" else ObjectPath
            argument = root if kind == "native" else ObjectPath(root)
            if operation == "junk":
                value = packaging._remove_packaging_junk(argument)
            else:
                value = packaging.prune_templates_dir(argument, profile="python-release",
                                                      artifact="wheel",
                                                      manifest_templates_dir=base / "m")
            results[f"{kind} {operation}"] = [value, snapshot(root), snapshot(base / "outside")]
    print(json.dumps(results))
""")


def test_second_walk_without_a_hook_leaves_what_the_object_path_leaves(tmp_path):
    done = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path)], capture_output=True,
                          text=True, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    for operation in ["junk", "prune"]:
        assert results[f"native {operation}"] == results[f"object {operation}"]
    value, left, outside = results["native prune"]
    assert value == ["a", "b", "c"]
    assert ["a/__pycache__", False] not in left and ["a/deep/er/p.pyc", False] not in left
    assert ["a/z.PYC", False] in left and ["b/c/ok.txt", False] in left
    assert outside == [["__pycache__", False], ["__pycache__/kept.pyc", False],
                       ["kept.pyc", False]]
