"""Which path an operation takes, and that both paths give the same outcome.

An operation runs natively while the names it reaches are the module's own;
with the modules' `Path` rebound it runs on the object path, through the
`Path` methods.  The first test proves which one ran by counting calls into
pathlib's file-system methods; the others run the same operation on both
paths over awkward trees and compare everything observable: the result, or
the exception with its errno, strerror and filename (type and value), and
what is left on disk.
"""

import errno
import json
import os
import pathlib
import shutil
import stat
from pathlib import Path

import pytest

from conftest import PATH_KINDS, count_pathlib_calls, use_path_kind, write
from tarvek.skills import packaging
from tarvek.skills.discovery.detector import SkillDetector


pytestmark = pytest.mark.usefixtures("no_tarvek_environment")


def make_skill(root, name, *extra, version='{"version": "1"}'):
    write(root / name / "SKILL.md", "---\n")
    write(root / name / "data" / "VERSION.json", version)
    for relative in extra:
        write(root / name / relative)
    return root / name


def write_manifest(root, skills, default=None):
    content = {"skills": skills}
    if default is not None:
        content["default"] = default
    # ensure_ascii keeps names with surrogate-escaped bytes representable.
    write(root / "manifest.json", json.dumps(content, ensure_ascii=True))


# Proof of the path taken ------------------------------------------------------


def big_tree(root, skills=24):
    """A templates tree with a manifest, junk, hidden files and nesting."""
    entries = {}
    for index in range(skills):
        name = f"s{index:02d}"
        make_skill(root, name, "refs/a.md", "refs/deep/b.md", ".hidden", "__pycache__/m.pyc",
                   "x.pyo", "sub/.DS_Store")
        entries[name] = {"tier": "t", "reason": "r", "wheel": index % 2 == 0,
                         "binary_full": index % 3 == 0}
    write_manifest(root, entries)
    return root


def project(work):
    for name in (".codex", ".openclaw"):
        (work / name).mkdir(parents=True)
    return work


# Every operation that has a native path, each touching the file system.
# `_infer_runtime` is left out: it only looks at the parts of a path.
PROOF_OPERATIONS = {
    "list_template_dirs": lambda t, w: packaging.list_template_dirs(t),
    "selected_skill_names": lambda t, w: packaging.selected_skill_names(
        profile="python-release", artifact="wheel", templates_dir=t),
    "skill_allowed": lambda t, w: packaging.skill_allowed(
        "s00", profile="binary-full", artifact="binary", templates_dir=t),
    "load_release_manifest": lambda t, w: packaging.load_release_manifest(t),
    "collect_skill_datas": lambda t, w: packaging.collect_skill_datas(
        profile="binary-full", templates_dir=t),
    "validate_release_manifest": lambda t, w: packaging.validate_release_manifest(t),
    "prune_templates_dir": lambda t, w: packaging.prune_templates_dir(
        t, profile="python-release", artifact="wheel", manifest_templates_dir=t),
    "prune_templates_dir-dev": lambda t, w: packaging.prune_templates_dir(
        t, profile="dev", artifact="wheel"),
    "_remove_tree": lambda t, w: packaging._remove_tree(t),
    "_remove_packaging_junk": lambda t, w: packaging._remove_packaging_junk(t),
    "_is_packable_file": lambda t, w: [packaging._is_packable_file(p) for p in
                                       (t / "s00" / "SKILL.md", t / "s00" / "x.pyo", t / "s00")],
    "candidate_dirs": lambda t, w: SkillDetector().candidate_dirs(str(t), cwd=w),
    "discover": lambda t, w: SkillDetector().discover(str(t), cwd=w),
    "detect_install_target": lambda t, w: SkillDetector().detect_install_target(cwd=w),
    "detect_install_targets": lambda t, w: SkillDetector().detect_install_targets(
        w, ["codex", "nonesuch"]),
    "detect_install_targets-none": lambda t, w: SkillDetector().detect_install_targets(w),
}


@pytest.mark.parametrize("operation", PROOF_OPERATIONS)
def test_which_path_ran(tmp_path, home, path_kind, operation):
    root = big_tree(tmp_path / "t")
    work = project(tmp_path / "work")
    with count_pathlib_calls() as calls:
        PROOF_OPERATIONS[operation](root, work)
    if path_kind == "native":
        assert calls.counts == {}, "the native path called pathlib's file-system methods"
    else:
        assert calls.total > 0, "the object path must go through the Path methods"


class HidingPath(pathlib.PosixPath):
    """A path argument of another type: its own methods must be used."""

    def is_dir(self, *, follow_symlinks=True):
        return self.name != "s01" and super().is_dir(follow_symlinks=follow_symlinks)


def test_subclass_argument_keeps_its_methods(tmp_path, path_kind):
    # Even with the module's own `Path`, a path argument of another type
    # is asked through its methods.
    root = big_tree(tmp_path / "t", skills=3)
    with count_pathlib_calls() as calls:
        names = packaging.list_template_dirs(HidingPath(root))
    assert [p.name for p in names] == ["s00", "s02"]
    assert all(type(p) is HidingPath for p in names)
    assert calls.counts.get("iterdir", 0) >= 1


# Differential tests -------------------------------------------------------------
#
# Every case is built at the same place twice, once per path, so that paths in
# results and exceptions compare directly.  `base` holds the templates root
# "t" (or whatever stands there), an "outside" directory that nothing may
# touch, and the home directory.

OUTSIDE_FILES = ["keep.txt", "nested/deep.txt", "junk.pyc", ".DS_Store", "__pycache__/m.pyc",
                 "version.json", "SKILL.md"]


def build_outside(base):
    for relative in OUTSIDE_FILES:
        write(base / "outside" / relative, "precious")
    write(base / "outside" / "data" / "VERSION.json", '{"version": "outside"}')


def tree_links(base):
    t = base / "t"
    make_skill(t, "a", "sub/file.txt")
    make_skill(t, "b")
    (t / "dirlink").symlink_to(base / "outside")
    (t / "filelink").symlink_to(base / "outside" / "keep.txt")
    (t / "dangling").symlink_to(base / "nowhere")
    os.symlink("loop", t / "loop")
    (t / "a" / "inner").symlink_to(base / "outside")
    (t / "a" / "sub" / "up").symlink_to(t)
    (t / "a" / "loop.pyc").symlink_to("loop.pyc")
    (t / "b" / "data" / "VERSION.json").unlink()
    (t / "b" / "data" / "VERSION.json").symlink_to(base / "outside" / "data" / "VERSION.json")
    (t / ".openclaw").symlink_to(base / "outside")
    (t / ".codex").symlink_to(base / "nowhere")
    write(t / ".claude", "a file, not a tool directory")
    write_manifest(t, {"a": {"wheel": True, "binary_full": True}, "dirlink": {"wheel": True},
                       "b": {"wheel": False}}, default={"binary_full": True})


def tree_root_link(base):
    real = base / "real"
    make_skill(real, "a", "__pycache__/x.pyc")
    make_skill(real, "b", "y.pyo")
    write_manifest(real, {"a": {"wheel": True, "binary_full": True}})
    (base / "t").symlink_to(real)


def tree_root_dangling(base):
    (base / "t").symlink_to(base / "nowhere")


def tree_root_loop(base):
    os.symlink("t", base / "t")


def tree_root_file(base):
    write(base / "t", "not a directory")


def tree_missing(base):
    (base / "elsewhere").mkdir()


def tree_plain(base):
    t = base / "t"
    make_skill(t, "a", "__pycache__/x.pyc", "notes.pyo", "refs/r.md")
    make_skill(t, "b", ".DS_Store")
    make_skill(t, "c")
    (t / ".codex").mkdir()
    write_manifest(t, {"a": {"wheel": True, "binary_full": 1, "tier": "x", "reason": "y"},
                       "b": {"wheel": False, "tier": "x", "reason": "y"}, "z": {"source": 1}})


def tree_non_utf8(base):
    t = base / "t"
    make_skill(t, "a")
    raw = os.fsencode(t)
    os.mkdir(raw + b"/skill-\xff")
    os.mkdir(raw + b"/skill-\xff/data")
    for relative in [b"/skill-\xff/SKILL.md", b"/skill-\xff/data/VERSION.json",
                     b"/skill-\xff/x-\xfe.txt", b"/skill-\xff/bad-\xfe.pyc", b"/a/\xc3(.md"]:
        with open(raw + relative, "wb") as handle:
            handle.write(b'{"version": "\xc3\xa9"}')
    os.mkdir(raw + b"/drop-\xfe")
    write_manifest(t, {"skill-\udcff": {"wheel": True, "binary_full": True, "tier": "t",
                                         "reason": "r"},
                       "a": {"binary_full": True}, "ghost-\udcfe": {"wheel": True}})


def tree_order(base):
    t = base / "t"
    # Code-point order and byte order disagree: U+DCFF (the escaped byte 0xff)
    # sorts before U+E000 as text, while byte 0xff sorts after its UTF-8 form.
    for name in ["\ue000", "Zeta", "alpha", "Alpha", "_under", ".hidden", "B", "b", "é"]:
        make_skill(t, name, "Z.md", "a.md", "\ue000.md")
    raw = os.fsencode(t)
    os.mkdir(raw + b"/\xff")
    os.mkdir(raw + b"/\xff/data")
    with open(raw + b"/\xff/data/VERSION.json", "w") as handle:
        handle.write('{"version": "escaped"}')
    write(t / "\ue000" / os.fsdecode(b"\xfe.md"))
    write_manifest(t, {"\ue000": {"wheel": True, "binary_full": True},
                       "\udcff": {"wheel": True, "binary_full": True},
                       "Alpha": {"wheel": True}, "b": {"binary_full": True}},
                   default={"wheel": False})


def tree_pycache(base):
    t = base / "t"
    make_skill(t, "a", "__pycache__/m.cpython-313.pyc", "b/__pycache__/__pycache__/z",
               "b/c/d/__pycache__/q.pyc", "b/c/d/keep.md", "x.PYC", "y.pyo", ".DS_Store",
               "b/.DS_Store.bak", "__pycache__.txt")
    make_skill(t, "__pycache__")
    write(t / "__pycache__" / "top.pyc")
    (t / "empty" / "__pycache__").mkdir(parents=True)
    write_manifest(t, {"a": {"wheel": True, "binary_full": True}})


def tree_inside_pycache(base):
    real = base / "__pycache__" / "t"
    make_skill(real, "a", "__pycache__/m.pyc", "y.pyo", "keep.txt")
    make_skill(real, "b")
    write_manifest(real, {"a": {"wheel": True, "binary_full": True}})
    (base / "t").symlink_to(real)


def tree_pycache_file_and_link(base):
    t = base / "t"
    make_skill(t, "a")
    write(t / "a" / "__pycache__", "a file named __pycache__")
    make_skill(t, "b")
    (t / "b" / "__pycache__").symlink_to(base / "outside")
    (t / "b" / "sub").mkdir()
    (t / "b" / "sub" / "__pycache__").symlink_to(base / "outside" / "__pycache__")
    (t / "c.pyc").symlink_to(base / "outside" / "junk.pyc")
    write_manifest(t, {"a": {"wheel": True, "binary_full": True}})


def tree_file_for_directory(base):
    t = base / "t"
    make_skill(t, "a")
    (t / "nodata").mkdir()
    write(t / "nodata" / "SKILL.md")
    (t / "filedata").mkdir()
    write(t / "filedata" / "data", "a file where a directory is expected")
    write(t / "looks-like-a-skill", "file")
    make_skill(t, "dirversion")
    (t / "dirversion" / "data" / "VERSION.json").unlink()
    (t / "dirversion" / "data" / "VERSION.json").mkdir()
    make_skill(t, "badjson", version="{nope")
    make_skill(t, "array", version="[1]")
    (t / "manifest.json").mkdir()


def tree_case(base):
    t = base / "t"
    for name in ["Skill", "skill", "SKILL", "b", "B"]:
        make_skill(t, name)
    write_manifest(t, {"Skill": {"wheel": True, "tier": "t", "reason": "r"},
                       "SKILL": {"binary_full": True}, "B": {"wheel": 1}})


TREES = {
    "links": (tree_links, "t", "."),
    "root-link": (tree_root_link, "t", "."),
    "root-dangling": (tree_root_dangling, "t", "."),
    "root-loop": (tree_root_loop, "t", "."),
    "root-file": (tree_root_file, "t", "."),
    "missing": (tree_missing, "t", "."),
    "relative": (tree_plain, "RELATIVE t", "."),
    "dot": (tree_plain, "RELATIVE .", "t"),
    "plain": (tree_plain, "t", "."),
    "non-utf8": (tree_non_utf8, "t", "."),
    "order": (tree_order, "t", "."),
    "pycache": (tree_pycache, "t", "."),
    "inside-pycache": (tree_inside_pycache, "__pycache__/t", "."),
    "pycache-file-and-link": (tree_pycache_file_and_link, "t", "."),
    "file-for-directory": (tree_file_for_directory, "t", "."),
    "case": (tree_case, "t", "."),
}


def entries_below(root):
    """Every entry below `root` (not following links) as `root`-joined paths."""
    start = os.fsencode(root)
    found = []
    if not os.path.isdir(start):
        return [root, root / "x"]
    for dirpath, dirnames, filenames in os.walk(start):
        for name in dirnames + filenames:
            relative = os.fsdecode(os.path.relpath(os.path.join(dirpath, name), start))
            found.append(root / relative)
    return sorted(found)


OPERATIONS = {
    "list_template_dirs": lambda t: packaging.list_template_dirs(t),
    "selected-release": lambda t: packaging.selected_skill_names(
        profile="python-release", artifact="wheel", templates_dir=t),
    "selected-dev": lambda t: packaging.selected_skill_names(
        profile="dev", artifact="x", templates_dir=t),
    "skill_allowed": lambda t: packaging.skill_allowed(
        "a", profile="binary-full", artifact="binary", templates_dir=t),
    "load_release_manifest": lambda t: packaging.load_release_manifest(t),
    "collect_skill_datas": lambda t: packaging.collect_skill_datas(
        profile="binary-full", templates_dir=t),
    "validate_release_manifest": lambda t: packaging.validate_release_manifest(t),
    "prune-release": lambda t: packaging.prune_templates_dir(
        t, profile="python-release", artifact="wheel", manifest_templates_dir=t),
    "prune-dev": lambda t: packaging.prune_templates_dir(t, profile="dev", artifact="x"),
    "_remove_tree": lambda t: packaging._remove_tree(t),
    "_remove_packaging_junk": lambda t: packaging._remove_packaging_junk(t),
    "_is_packable_file": lambda t: [(p, packaging._is_packable_file(p))
                                    for p in entries_below(t)],
    "candidate_dirs": lambda t: SkillDetector().candidate_dirs(str(t), cwd=t),
    "discover": lambda t: SkillDetector().discover(str(t), cwd=t),
    "_infer_runtime": lambda t: [SkillDetector()._infer_runtime(p) for p in entries_below(t)],
    "detect_install_target": lambda t: SkillDetector().detect_install_target(cwd=t),
    "detect_install_targets": lambda t: SkillDetector().detect_install_targets(
        t, ["codex", "openclaw", "nonesuch"]),
}


def described(value):
    """A plain, comparable form of a result; paths become ("Path", text)."""
    if isinstance(value, pathlib.PurePath):
        assert isinstance(value, pathlib.Path), f"not a concrete path: {value!r}"
        return ("Path", str(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [described(item) for item in value])
    if hasattr(value, "version_file"):
        return ("record", [described(getattr(value, field)) for field in
                           ("name", "version", "runtime", "root", "version_file")])
    return (type(value).__name__, value)


def outcome(call):
    try:
        value = call()
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        if isinstance(exc, OSError):
            detail = (exc.errno, exc.strerror, described(exc.filename),
                      described(exc.filename2))
        else:
            detail = exc.args
        return ("raised", type(exc), detail)
    return ("returned", described(value))


def on_disk(base):
    """Every entry below `base`, with its kind, not following links."""
    start = os.fsencode(base)
    seen = []
    for dirpath, dirnames, filenames in os.walk(start):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            mode = os.lstat(full).st_mode
            kind = ("link " + os.fsdecode(os.readlink(full)) if stat.S_ISLNK(mode)
                    else "dir" if stat.S_ISDIR(mode) else "file")
            seen.append((os.fsdecode(os.path.relpath(full, start)), kind))
    return sorted(seen)


def outside_entries(base):
    return [entry for entry in on_disk(base) if entry[0].startswith("outside")]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("tree", TREES)
def test_both_paths_agree(tmp_path, monkeypatch, tree, operation):
    build, root_text, cwd = TREES[tree]
    base = tmp_path / "case"
    monkeypatch.setenv("HOME", str(base / "home"))
    if root_text.startswith("RELATIVE "):
        root = Path(root_text.split(" ", 1)[1])
    else:
        root = base / root_text
    seen = {}
    built = None
    for kind in PATH_KINDS:
        if built is None:
            (base / "home").mkdir(parents=True)
            build_outside(base)
            build(base)
            built = on_disk(base)
        outside_before = outside_entries(base)
        monkeypatch.chdir(base / cwd)
        with pytest.MonkeyPatch.context() as patch:
            use_path_kind(patch, kind)
            result = outcome(lambda: OPERATIONS[operation](root))
        monkeypatch.chdir(tmp_path)
        assert outside_entries(base) == outside_before, f"{kind} path changed the outside"
        seen[kind] = (result, on_disk(base))
        if seen[kind][1] != built:
            # Changed on disk: the other path gets a fresh copy at the same place.
            shutil.rmtree(base)
            built = None
    assert seen["native"][0] == seen["object"][0]
    assert seen["native"][1] == seen["object"][1]


# Ordering of names that are not plain ASCII ----------------------------------

# Byte sequences whose byte order differs from the code-point order the
# interpreter compares paths by: multi-byte characters, bytes that are no
# UTF-8 (each stands for a lone surrogate), truncated sequences.
NAME_PIECES = [b"a", b"B", b"z", b"-", b".", b"_", b"0", b"\xc3\xa9", b"\xe2\x82\xac",
               b"\xf0\x9f\x98\x80", b"\xee\x80\x80", b"\xed\xa0\x80", b"\x80", b"\xff", b"\xc3",
               b"\xe2\x82"]


@pytest.mark.parametrize("seed", range(4))
def test_native_order_is_the_interpreters(tmp_path, monkeypatch, seed):
    import random

    rng = random.Random(seed)
    names = set()
    while len(names) < 150:
        name = b"".join(rng.choice(NAME_PIECES) for _ in range(rng.randint(1, 4)))
        if name not in (b".", b".."):
            names.add(name)
    names = sorted(names)
    root = tmp_path / "t"
    for name in names:
        os.makedirs(os.path.join(os.fsencode(root), name))
    skill = os.path.join(os.fsencode(root), names[0])
    for name in names[:60]:
        directory = os.path.join(skill, rng.choice(names), rng.choice(names))
        os.makedirs(directory, exist_ok=True)
        open(os.path.join(directory, name), "w").close()

    native = (packaging.list_template_dirs(root),
              packaging.collect_skill_datas(profile="dev", templates_dir=root))
    use_path_kind(monkeypatch, "object")
    by_object = (packaging.list_template_dirs(root),
                 packaging.collect_skill_datas(profile="dev", templates_dir=root))
    assert native == by_object
    assert native[0] == sorted(path for path in root.iterdir() if path.is_dir())


# Paths longer than the kernel takes ------------------------------------------------
#
# pathlib hands the whole text of a path to the kernel, which refuses one of
# PATH_MAX bytes or more (ENAMETOOLONG): the read-only operations raise that
# on both paths.  Deleting has no depth limit on the native path.

PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def chain(top, length, leaf=None):
    """Directories below `top` until the text is `length` bytes long, made
    relative to descriptors; `leaf` (a name) is made a file at the bottom."""
    os.makedirs(top, exist_ok=True)
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    text = str(top)
    try:
        while len(text) < length:
            name = "d" * min(200, max(1, length - len(text) - 1))
            try:
                os.mkdir(name, dir_fd=fd)
            except FileExistsError:
                pass
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd, text = inner, f"{text}/{name}"
        if leaf is not None and leaf.endswith("/"):
            os.mkdir(leaf, dir_fd=fd)
        elif leaf is not None:
            os.close(os.open(leaf, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    finally:
        os.close(fd)
    return pathlib.Path(text)


LONG_READS = {
    # A file whose path is too long, in a directory whose path is not.
    "collect": (lambda t: chain(t / "a" / "deep", PATH_MAX - 100, "f" * 150),
                lambda t: packaging.collect_skill_datas(profile="dev", templates_dir=t)),
    "list": (lambda t: chain(t / "a", PATH_MAX + 10),
             lambda t: packaging.list_template_dirs(chain(t / "a", PATH_MAX + 10))),
    "validate": (lambda t: chain(t / "a", PATH_MAX + 10),
                 lambda t: packaging.validate_release_manifest(chain(t / "a", PATH_MAX + 10))),
    "discover": (lambda t: chain(t / "a", PATH_MAX - 10, "s/"),
                 lambda t: SkillDetector().discover(str(chain(t / "a", PATH_MAX - 10)), cwd=t)),
}


@pytest.mark.parametrize("operation", LONG_READS)
def test_reading_beyond_path_max_raises_what_pathlib_raises(tmp_path, monkeypatch, home,
                                                           operation):
    build, run = LONG_READS[operation]
    root = tmp_path / "t"
    write(root / "a" / "SKILL.md")
    write(root / "manifest.json", json.dumps({"skills": {"a": {}}}))
    build(root)
    outcomes = {}
    for kind in PATH_KINDS:  # reading only: the same tree serves both
        with pytest.MonkeyPatch.context() as patch:
            use_path_kind(patch, kind)
            outcomes[kind] = outcome(lambda: run(root))
    native, objects = (outcomes[kind] for kind in PATH_KINDS)
    assert native == objects
    assert native[0] == "raised" and native[2][0] == errno.ENAMETOOLONG


@pytest.mark.parametrize("kind", PATH_KINDS[:1])  # the native path only
def test_deleting_has_no_depth_limit_with_deep_junk_in_several_branches(tmp_path, monkeypatch,
                                                                         kind):
    use_path_kind(monkeypatch, kind)
    root = tmp_path / "t"
    for branch in ("keep/one", "keep/two", "drop/three", "drop/four"):
        chain(root / branch, 2 * PATH_MAX, "__pycache__/")
    write(root / "keep" / "SKILL.md")
    write(root / "manifest.json", json.dumps({"skills": {"keep": {"wheel": True}}}))
    try:
        assert packaging.prune_templates_dir(root, profile="python-release", artifact="wheel",
                                             manifest_templates_dir=root) == ["keep"]
        assert sorted(os.listdir(root)) == ["keep", "manifest.json"]
        for branch in ("one", "two"):
            fd = os.open(root / "keep" / branch, os.O_RDONLY)
            while (names := os.listdir(fd)) == ["d" * 200] or names == ["d" * 199]:
                inner = os.open(names[0], os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = inner
            os.close(fd)
            assert "__pycache__" not in names
    finally:
        shutil.rmtree(tmp_path, ignore_errors=True)
