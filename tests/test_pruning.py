"""Pruning a copied templates tree and collecting files for the packager."""

import json
import os
from pathlib import Path

import pytest

from conftest import write
from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

Error = packaging.SkillReleaseManifestError
DEST = os.path.join("tarvek", "skills", "templates")


def write_manifest(root, skills, **extra):
    write(root / "manifest.json", json.dumps({"skills": skills, **extra}))


def make_skill(root, name, *extra):
    write(root / name / "SKILL.md", f"---\nname: {name}\n---\n")
    write(root / name / "data" / "VERSION.json", '{"version": "1"}')
    for relative in extra:
        write(root / name / relative)
    return root / name


def files_below(root):
    """Every file and directory below root, as relative POSIX strings."""
    return sorted(p.relative_to(root).as_posix() + ("/" if p.is_dir() and not p.is_symlink()
                                                     else "")
                  for p in root.rglob("*"))


@pytest.fixture(autouse=True)
def no_profile(monkeypatch):
    monkeypatch.delenv("TARVEK_SKILL_PROFILE", raising=False)
    monkeypatch.delenv("TARVEK_BUILTIN_TEMPLATES_DIR", raising=False)


@pytest.fixture
def outside(tmp_path):
    """A directory outside every tree under test, with files that must survive."""
    directory = tmp_path / "outside"
    for relative in ["keep.txt", "nested/deep.txt", "junk.pyc", "__pycache__/m.pyc"]:
        write(directory / relative, "precious")
    return directory


def assert_outside_intact(outside):
    assert files_below(outside) == ["__pycache__/", "__pycache__/m.pyc", "junk.pyc",
                                    "keep.txt", "nested/", "nested/deep.txt"]
    assert all(p.read_text() == "precious" for p in outside.rglob("*") if p.is_file())


# _is_packable_file -----------------------------------------------------------


@pytest.mark.parametrize(
    "relative, make, expected",
    [
        ("a.py", "file", True),
        ("SKILL.md", "file", True),
        ("data/VERSION.json", "file", True),
        (".hidden", "file", True),
        ("x.PYC", "file", True),
        ("x.pyc.txt", "file", True),
        ("DS_Store", "file", True),
        ("a.pyc", "file", False),
        ("b.pyo", "file", False),
        (".DS_Store", "file", False),
        ("sub/.DS_Store", "file", False),
        ("__pycache__/m.py", "file", False),
        ("a/__pycache__/b/c.txt", "file", False),
        ("dir", "dir", False),
        ("missing.txt", None, False),
        ("dangling", "dangling", False),
        ("link.txt", "filelink", True),
    ],
)
def test_is_packable_file(tmp_path, relative, make, expected):
    path = tmp_path / relative
    if make == "file":
        write(path)
    elif make == "dir":
        path.mkdir()
    elif make == "dangling":
        path.symlink_to(tmp_path / "nowhere")
    elif make == "filelink":
        path.symlink_to(write(tmp_path / "target.txt"))
    assert packaging._is_packable_file(path) is expected


def test_is_packable_file_looks_at_every_component(tmp_path):
    path = write(tmp_path / "__pycache__" / "templates" / "a" / "SKILL.md")
    assert packaging._is_packable_file(path) is False


# _remove_tree ----------------------------------------------------------------


def test_remove_tree_deletes_everything(tmp_path):
    root = tmp_path / "tree"
    for relative in ["a.txt", ".hidden", "sub/b.txt", "sub/deeper/c", "empty/"]:
        if relative.endswith("/"):
            (root / relative).mkdir(parents=True)
        else:
            write(root / relative)
    assert packaging._remove_tree(root) is None
    assert not root.exists() and not root.is_symlink()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kind, error", [("file", NotADirectoryError),
                                         ("missing", FileNotFoundError)])
def test_remove_tree_on_non_directory(tmp_path, kind, error):
    path = tmp_path / "thing"
    if kind == "file":
        write(path, "kept")
    with pytest.raises(error):
        packaging._remove_tree(path)
    if kind == "file":
        assert path.read_text() == "kept"


def test_remove_tree_recurses_through_namespace(tmp_path, monkeypatch):
    root = tmp_path / "tree"
    write(root / "a" / "b" / "f")
    write(root / "c" / "g")
    seen = []
    real = packaging._remove_tree

    def recording(path):
        seen.append(path)
        return real(path)

    monkeypatch.setattr(packaging, "_remove_tree", recording)
    real(root)
    assert sorted(seen) == [root / "a", root / "a" / "b", root / "c"]
    assert not root.exists()


def test_remove_tree_first_failure_stops(tmp_path, monkeypatch):
    root = tmp_path / "tree"
    write(root / "a" / "f")
    write(root / "b" / "g")
    real = packaging._remove_tree

    def refusing(path):
        if path.name == "b":
            raise PermissionError(13, "refused", str(path))
        return real(path)

    monkeypatch.setattr(packaging, "_remove_tree", refusing)
    with pytest.raises(PermissionError):
        real(root)
    assert root.is_dir() and (root / "b" / "g").exists()


def test_remove_tree_never_follows_links(tmp_path, outside):
    root = tmp_path / "tree"
    write(root / "own.txt")
    (root / "sub").mkdir()
    (root / "dirlink").symlink_to(outside)
    (root / "sub" / "deeplink").symlink_to(outside / "nested")
    (root / "filelink").symlink_to(outside / "keep.txt")
    (root / "dangling").symlink_to(tmp_path / "nowhere")
    packaging._remove_tree(root)
    assert not root.exists()
    assert_outside_intact(outside)


def test_remove_tree_on_a_link_removes_only_the_link(tmp_path, outside):
    link = tmp_path / "link"
    link.symlink_to(outside)
    packaging._remove_tree(link)
    assert not link.is_symlink() and not link.exists()
    assert_outside_intact(outside)


# _remove_packaging_junk ------------------------------------------------------


def junk_tree(root):
    keep = ["SKILL.md", "x.PYC", "a/.DS_Store.bak", "a/ok.py", "b/c/VERSION.json",
            ".git/config"]
    junk = ["x.pyc", "y.pyo", ".DS_Store", "a/.DS_Store", "a/__pycache__/m.cpython-313.pyc",
            "a/__pycache__/notes.txt", "__pycache__/z.txt", "b/c/__pycache__/q.pyc",
            "b/c/__pycache__/__pycache__/r", "b/deep.pyc"]
    for relative in keep + junk:
        write(root / relative)
    (root / "emptied").mkdir()
    write(root / "emptied" / "only.pyo")
    return keep


def test_remove_packaging_junk(tmp_path):
    root = tmp_path / "t"
    keep = junk_tree(root)
    assert packaging._remove_packaging_junk(root) is None
    remaining = [p for p in files_below(root) if not p.endswith("/")]
    assert remaining == sorted(keep)
    assert not any("__pycache__" in p for p in files_below(root))
    # Directories emptied of junk stay.
    assert (root / "emptied").is_dir() and list((root / "emptied").iterdir()) == []


def test_remove_packaging_junk_uses_namespace_helpers(tmp_path, monkeypatch):
    root = tmp_path / "t"
    write(root / "a.txt")
    write(root / "b.txt")
    write(root / "__pycache__" / "c")
    removed = []
    monkeypatch.setattr(packaging, "_is_packable_file", lambda p: p.name != "a.txt")
    monkeypatch.setattr(packaging, "_remove_tree", lambda p: removed.append(p))
    packaging._remove_packaging_junk(root)
    assert removed == [root / "__pycache__"]
    assert not (root / "a.txt").exists()
    assert (root / "b.txt").exists() and (root / "__pycache__" / "c").exists()


def test_pycache_link_is_removed_not_followed(tmp_path, outside):
    root = tmp_path / "t"
    write(root / "a" / "SKILL.md")
    (root / "a" / "__pycache__").symlink_to(outside)
    (root / "b.pyc").symlink_to(outside / "junk.pyc")
    packaging._remove_packaging_junk(root)
    assert files_below(root) == ["a/", "a/SKILL.md"]
    assert_outside_intact(outside)


def test_root_inside_pycache_keeps_its_files(tmp_path):
    root = tmp_path / "__pycache__" / "templates"
    keep = junk_tree(root)
    packaging._remove_packaging_junk(root)
    assert [p for p in files_below(root) if not p.endswith("/")] == sorted(keep)
    # The same holds when pruning with a profile that keeps every skill.
    write(root / "s" / "__pycache__" / "gone.pyc")
    write(root / "s" / "SKILL.md")
    assert packaging.prune_templates_dir(root, profile="dev", artifact="wheel") == \
        [".git", "a", "b", "emptied", "s"]
    assert (root / "s" / "SKILL.md").exists() and not (root / "s" / "__pycache__").exists()


# prune_templates_dir ---------------------------------------------------------


def test_prune_missing_target_reads_nothing(tmp_path, monkeypatch):
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", "unknown-profile")

    def forbidden(*args, **kwargs):
        raise AssertionError("must not be called")

    for name in ["current_profile", "selected_skill_names", "_remove_packaging_junk"]:
        monkeypatch.setattr(packaging, name, forbidden)
    result = packaging.prune_templates_dir(tmp_path / "missing", artifact="wheel")
    assert result == [] and type(result) is list


@pytest.mark.parametrize("profile, env", [("dev", None), ("internal", "binary-full"),
                                          (None, None), ("", " dev "), (None, "internal")])
def test_prune_everything_profiles_keep_all_skills(tmp_path, monkeypatch, profile, env):
    if env is not None:
        monkeypatch.setenv("TARVEK_SKILL_PROFILE", env)
    root = tmp_path / "t"
    for name in ["b", "A", ".git", "c"]:
        make_skill(root, name, "__pycache__/x.pyc", "y.pyo")
    write(root / "manifest.json", "not even json")
    result = packaging.prune_templates_dir(root, profile=profile, artifact="anything")
    assert result == [p.name for p in packaging.list_template_dirs(root)] == \
        [".git", "A", "b", "c"]
    for name in result:
        assert files_below(root / name) == ["SKILL.md", "data/", "data/VERSION.json"]


@pytest.mark.parametrize("given", [None, ""])
def test_prune_uses_current_profile(tmp_path, monkeypatch, given):
    root = tmp_path / "t"
    for name in ["a", "b"]:
        make_skill(root, name)
    # Admission follows the skill directories and manifest of the manifest
    # directory, not those of the target.
    manifest_dir = tmp_path / "m"
    for name in ["a", "b", "c"]:
        (manifest_dir / name).mkdir(parents=True)
    write_manifest(manifest_dir, {"a": {"binary_full": True}, "b": {"binary": True},
                                  "c": {"binary_full": True}})
    write_manifest(root, {"b": {"binary_full": True}})
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", "binary-full")
    assert packaging.prune_templates_dir(root, profile=given, artifact="binary",
                                         manifest_templates_dir=manifest_dir) == ["a"]
    assert files_below(root) == ["a/", "a/SKILL.md", "a/data/", "a/data/VERSION.json",
                                 "manifest.json"]


def test_prune_deletes_what_selection_leaves_out(tmp_path, monkeypatch):
    root = tmp_path / "t"
    for name in ["a", "b", "c", ".git"]:
        make_skill(root, name)
    write(root / "notes.txt", "stay")
    write(root / "manifest.json", "{}")
    calls = []

    def selected(**kwargs):
        calls.append(kwargs)
        return ["a", "z"]

    builtin = tmp_path / "builtin"
    monkeypatch.setattr(packaging, "selected_skill_names", selected)
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", lambda: builtin)
    assert packaging.prune_templates_dir(root, profile="p", artifact="wheel") == ["a"]
    assert calls == [{"profile": "p", "artifact": "wheel", "templates_dir": builtin}]
    assert files_below(root) == ["a/", "a/SKILL.md", "a/data/", "a/data/VERSION.json",
                                 "manifest.json", "notes.txt"]
    assert (root / "notes.txt").read_text() == "stay"


def test_prune_result_order_and_files_named_like_skills(tmp_path, monkeypatch):
    root = tmp_path / "t"
    for name in ["b", "B", "a", "_x"]:
        make_skill(root, name)
    write(root / "f")
    monkeypatch.setattr(packaging, "selected_skill_names",
                        lambda **kw: ("b", "a", "B", "f", "_x", "b"))
    assert packaging.prune_templates_dir(root, profile="p", artifact="x") == \
        ["B", "_x", "a", "b", "f"]


def test_prune_with_real_manifest_is_repeatable(tmp_path):
    manifest_dir = tmp_path / "m"
    write_manifest(manifest_dir, {"keep": {"wheel": True}, "drop": {"wheel": False},
                                  "other": {"source": True}}, default={"wheel": 1})
    root = tmp_path / "t"
    for name in ["keep", "drop", "other", "undeclared"]:
        make_skill(root, name, "__pycache__/c.pyc")
        (manifest_dir / name).mkdir()
    expected = ["keep", "other", "undeclared"]
    for _ in range(2):
        assert packaging.prune_templates_dir(root, profile="python-release", artifact="wheel",
                                             manifest_templates_dir=manifest_dir) == expected
        assert sorted(p.name for p in root.iterdir()) == expected
        assert files_below(root / "keep") == ["SKILL.md", "data/", "data/VERSION.json"]


def test_prune_selection_error_deletes_no_skill(tmp_path):
    root = tmp_path / "t"
    make_skill(root, "a", "x.pyc")
    with pytest.raises(Error, match="未找到 Skill 发版清单"):
        packaging.prune_templates_dir(root, profile="binary-full", artifact="binary",
                                      manifest_templates_dir=tmp_path / "nowhere")
    assert files_below(root) == ["a/", "a/SKILL.md", "a/data/", "a/data/VERSION.json"]
    manifest_dir = tmp_path / "m"
    make_skill(manifest_dir, "a")
    write_manifest(manifest_dir, {"a": {"binary_full": True}})
    with pytest.raises(Error, match="不支持产物类型 'wheel'"):
        packaging.prune_templates_dir(root, profile="binary-full", artifact="wheel",
                                      manifest_templates_dir=manifest_dir)
    assert files_below(root) == ["a/", "a/SKILL.md", "a/data/", "a/data/VERSION.json"]


def test_prune_target_that_is_a_file(tmp_path):
    target = write(tmp_path / "file")
    with pytest.raises(NotADirectoryError):
        packaging.prune_templates_dir(target, profile="dev", artifact="x")


def test_prune_removes_links_not_their_targets(tmp_path, monkeypatch, outside):
    root = tmp_path / "t"
    make_skill(root, "kept")
    (root / "linked").symlink_to(outside)
    dropped = make_skill(root, "dropped")
    (dropped / "inner").symlink_to(outside)
    (dropped / "data" / "file").symlink_to(outside / "keep.txt")
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kw: ["kept"])
    assert packaging.prune_templates_dir(root, profile="p", artifact="x") == ["kept"]
    assert sorted(p.name for p in root.iterdir()) == ["kept"]
    assert_outside_intact(outside)


def test_prune_calls_through_namespace(tmp_path, monkeypatch):
    root = tmp_path / "t"
    make_skill(root, "a")
    make_skill(root, "b")
    events = []
    monkeypatch.setattr(packaging, "_remove_packaging_junk", lambda r: events.append(("junk", r)))
    monkeypatch.setattr(packaging, "current_profile", lambda: events.append("profile") or "p")
    monkeypatch.setattr(packaging, "selected_skill_names",
                        lambda **kw: events.append("select") or ["a"])
    monkeypatch.setattr(packaging, "_remove_tree", lambda p: events.append(("remove", p)))
    assert packaging.prune_templates_dir(root, artifact="x",
                                         manifest_templates_dir=root) == ["a"]
    assert events == [("junk", root), "profile", "select", ("remove", root / "b")]


def test_prune_everything_profile_uses_rebound_listing(tmp_path, monkeypatch):
    root = tmp_path / "t"
    root.mkdir()
    monkeypatch.setattr(packaging, "list_template_dirs", lambda d: [d / "q", d / "p"])
    assert packaging.prune_templates_dir(root, profile="internal", artifact="x") == ["q", "p"]


# collect_skill_datas ---------------------------------------------------------


def pair(root, relative):
    source = root.joinpath(*relative.split("/"))
    parent = Path(*relative.split("/")[:-1])
    return (str(source), os.path.join(DEST, *parent.parts))


def test_collect_pairs_and_order(tmp_path):
    root = tmp_path / "t"
    make_skill(root, "a", "__pycache__/m.cpython-313.pyc", ".DS_Store")
    make_skill(root, "b", ".hidden", "Z/upper", "data/sub/x.txt", "notes.pyo")
    make_skill(root, "c")
    write_manifest(root, {"a": {"binary": 1}, "b": {"binary": "y"}, "c": {"binary_full": 1}})
    assert packaging.collect_skill_datas(templates_dir=root) == [
        pair(root, "a/SKILL.md"),
        pair(root, "a/data/VERSION.json"),
        pair(root, "b/.hidden"),
        pair(root, "b/SKILL.md"),
        pair(root, "b/Z/upper"),
        pair(root, "b/data/VERSION.json"),
        pair(root, "b/data/sub/x.txt"),
        (str(root / "manifest.json"), DEST),
    ]


def test_collect_defaults_to_binary_minimal(tmp_path, monkeypatch):
    root = tmp_path / "t"
    make_skill(root, "mini")
    make_skill(root, "full")
    write_manifest(root, {"mini": {"binary": True}, "full": {"binary_full": True}})
    monkeypatch.setenv("TARVEK_SKILL_PROFILE", "binary-full")
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(root))
    for kwargs in [{}, {"profile": None}, {"profile": ""}, {"templates_dir": ""}]:
        names = {Path(src).relative_to(root).parts[0] for src, _ in
                 packaging.collect_skill_datas(**kwargs)}
        assert names == {"mini", "manifest.json"}
    names = [src for src, _ in packaging.collect_skill_datas(profile="binary-full")]
    assert names == [str(root / "full" / "SKILL.md"), str(root / "full" / "data" / "VERSION.json"),
                     str(root / "manifest.json")]


def test_collect_calls_selection_with_keywords(tmp_path, monkeypatch):
    root = tmp_path / "t"
    make_skill(root, "x")
    calls = []

    def selected(**kwargs):
        calls.append(kwargs)
        return ["x", "ghost"]

    monkeypatch.setattr(packaging, "selected_skill_names", selected)
    monkeypatch.setattr(packaging, "current_profile", lambda: pytest.fail("not to be read"))
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", lambda: root)
    datas = packaging.collect_skill_datas(profile="custom")
    assert calls == [{"profile": "custom", "artifact": "binary", "templates_dir": root}]
    # Without a manifest there is no manifest pair; a name without a directory adds nothing.
    assert datas == [pair(root, "x/SKILL.md"), pair(root, "x/data/VERSION.json")]


def test_collect_follows_rebound_names(tmp_path, monkeypatch):
    root = tmp_path / "t"
    make_skill(root, "x")
    write(root / "release.json", "{}")
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kw: ["x"])
    monkeypatch.setattr(packaging, "MANIFEST_FILENAME", "release.json")
    monkeypatch.setattr(packaging, "_is_packable_file", lambda p: p.name != "SKILL.md")
    assert packaging.collect_skill_datas(templates_dir=root) == [
        pair(root, "x/data"), pair(root, "x/data/VERSION.json"),
        (str(root / "release.json"), DEST)]


def test_collect_relative_root(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make_skill(tmp_path / "t", "s")
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kw: ["s"])
    assert packaging.collect_skill_datas(templates_dir=Path("t")) == [
        (os.path.join("t", "s", "SKILL.md"), os.path.join(DEST, "s")),
        (os.path.join("t", "s", "data", "VERSION.json"), os.path.join(DEST, "s", "data"))]


def test_collect_root_inside_pycache(tmp_path, monkeypatch):
    root = tmp_path / "__pycache__" / "templates"
    make_skill(root, "s", "__pycache__/m.pyc", "x.pyc")
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kw: ["s"])
    assert packaging.collect_skill_datas(templates_dir=root) == [
        pair(root, "s/SKILL.md"), pair(root, "s/data/VERSION.json")]


def test_collect_does_not_descend_into_links(tmp_path, monkeypatch, outside):
    root = tmp_path / "t"
    make_skill(root, "s")
    (root / "s" / "linked").symlink_to(outside)
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kw: ["s"])
    assert packaging.collect_skill_datas(templates_dir=root) == [
        pair(root, "s/SKILL.md"), pair(root, "s/data/VERSION.json")]


# reference counting ----------------------------------------------------------


@pytest.mark.slow
def test_pruning_leaks(tmp_path, monkeypatch, leak_check, outside):
    root = tmp_path / "t"
    make_skill(root, "a", "__pycache__/x.pyc")
    make_skill(root, "b")
    write_manifest(root, {"a": {"binary": True}, "b": {"wheel": True}})
    leak_check(packaging.collect_skill_datas, templates_dir=root)
    leak_check(packaging.collect_skill_datas, profile="nope", templates_dir=root, expect=Error)
    leak_check(packaging._is_packable_file, root / "a" / "SKILL.md")
    leak_check(packaging._is_packable_file, root / "a" / "__pycache__" / "x.pyc")
    leak_check(packaging._is_packable_file, root / "missing")
    leak_check(packaging._remove_packaging_junk, root)
    leak_check(packaging._remove_packaging_junk, tmp_path / "__pycache__")
    leak_check(packaging._remove_packaging_junk, root / "manifest.json")
    leak_check(packaging._remove_packaging_junk, "not a path", expect=AttributeError)
    leak_check(packaging._is_packable_file, "not a path", expect=AttributeError)
    cached = tmp_path / "__pycache__" / "templates"
    make_skill(cached, "a", "keep.txt")
    write_manifest(cached, {"a": {"binary": True}})
    leak_check(packaging._remove_packaging_junk, cached)
    leak_check(packaging.collect_skill_datas, templates_dir=cached)
    leak_check(packaging.prune_templates_dir, root, profile="dev", artifact="x")
    leak_check(packaging.prune_templates_dir, tmp_path / "missing", artifact="x")
    leak_check(packaging.prune_templates_dir, root, profile="python-release", artifact="wheel",
               manifest_templates_dir=root)
    leak_check(packaging.prune_templates_dir, root, profile="nope", artifact="wheel",
               manifest_templates_dir=root, expect=Error)
    leak_check(packaging._remove_tree, tmp_path / "missing", expect=FileNotFoundError)

    counter = iter(range(10**6))

    def fresh_tree():
        base = tmp_path / f"tree{next(counter)}"
        write(base / "sub" / "f")
        (base / "link").symlink_to(outside)
        packaging._remove_tree(base)

    leak_check(fresh_tree, rounds=100)
    assert_outside_intact(outside)
