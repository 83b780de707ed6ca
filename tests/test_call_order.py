"""The object path makes the calls of the steps written as plain Python, in
their order, as a Path subclass, a rebound Path or a __getattribute__ tracer
sees them.  The plain steps are written out here; our additions are marked
(a status query before a VERSION.json or manifest is read, is_symlink() at
the start of _remove_tree, the root's parts where files below it are
tested).
"""

import json
import pathlib

import pytest

from conftest import write
from tarvek.skills import packaging
from tarvek.skills.discovery import detector

LOG = []


class Traced(pathlib.PosixPath):
    """Notes every path method asked, with the path (relative to BASE)."""

    BASE = ""

    def _note(self, what):
        LOG.append((what, super().__str__().replace(Traced.BASE, "")))


def _traced_method(name):
    def method(self, *args, **kwargs):
        self._note(name)
        return getattr(super(Traced, self), name)(*args, **kwargs)

    return method


def _traced_property(name):
    return property(lambda self: (self._note(name), getattr(super(Traced, self), name))[1])


for _name in ("exists", "is_dir", "is_file", "is_symlink", "iterdir", "rglob", "unlink", "rmdir",
              "stat", "read_text", "relative_to", "__truediv__", "with_segments"):
    setattr(Traced, _name, _traced_method(_name))
for _name in ("name", "suffix", "parts", "parent"):
    setattr(Traced, _name, _traced_property(_name))


def ref_remove_tree(path):
    if path.is_symlink():  # ours: a link is unlinked, never followed
        path.unlink()
        return
    for child in path.iterdir():
        if child.is_dir():
            ref_remove_tree(child)
        else:
            child.unlink()
    path.rmdir()


def ref_list_template_dirs(root):
    if not root.exists():
        return []
    return sorted(p for p in root.iterdir() if p.is_dir())


def ref_is_packable_file(path):
    if not path.is_file():
        return False
    if path.name == ".DS_Store":
        return False
    if path.suffix in (".pyc", ".pyo"):
        return False
    return "__pycache__" not in path.parts


def ref_collect(root, names):
    # ours: below a root inside "__pycache__" only the part below it counts
    restricted = "__pycache__" in root.parts
    assert not restricted
    datas = []
    for name in names:
        files = sorted(p for p in (root / name).rglob("*") if ref_is_packable_file(p))
        for file in files:
            datas.append((str(file), str(Traced("tarvek", "skills", "templates")
                                         / file.parent.relative_to(root))))
    manifest_file = root / "manifest.json"
    if manifest_file.exists():
        datas.append((str(manifest_file), str(Traced("tarvek", "skills", "templates"))))
    return datas


def ref_discover(candidate, self):
    records = []
    if not candidate.exists():
        return records
    for skill_dir in sorted(p for p in candidate.iterdir() if p.is_dir()):
        version_file = skill_dir / "data" / "VERSION.json"
        data_dir = skill_dir / "data"
        if version_file.exists():
            version_file.stat()  # ours: never read a FIFO, a device or a huge file
            version = str(json.loads(version_file.read_text(encoding="utf-8")).get("version"))
        elif data_dir.exists():
            version = "v0.0.0"
        else:
            continue
        records.append((skill_dir.name, version, self._infer_runtime(skill_dir)))
    return records


class Detector(detector.SkillDetector):
    def __getattribute__(self, name):
        if not name.startswith("__"):
            LOG.append(("self." + name, ""))
        return super().__getattribute__(name)

    def candidate_dirs(self, skills_dir=None, cwd=None):
        return [Traced(skills_dir)]


def tree(base):
    for skill in ("a", "b"):
        write(base / "t" / skill / "SKILL.md")
        write(base / "t" / skill / "data" / "VERSION.json", '{"version": "1"}')
        write(base / "t" / skill / "sub" / "__pycache__" / "m.pyc")
        write(base / "t" / skill / "sub" / "deep" / "x.md")
    (base / "t" / "a" / "link").symlink_to(base / "t" / "b" / "sub")
    write(base / "t" / "manifest.json", json.dumps({"skills": {}}))
    return Traced(base / "t")


CASES = {
    "_remove_tree": (lambda t: packaging._remove_tree(t / "a"),
                     lambda t: ref_remove_tree(t / "a")),
    "list_template_dirs": (lambda t: packaging.list_template_dirs(t),
                           lambda t: ref_list_template_dirs(t)),
    "collect_skill_datas": (lambda t: packaging.collect_skill_datas(profile="dev", templates_dir=t),
                            lambda t: ref_collect(t, ["a", "b"])),
    "discover": (lambda t: [(r.name, r.version, r.runtime) for r in Detector().discover(
                     str(t), cwd=t)],
                 lambda t: (LOG.extend([("self.discover", ""), ("self.candidate_dirs", "")]),
                            ref_discover(Traced(str(t)), Detector()))[1]),
}


@pytest.mark.parametrize("case", CASES)
def test_the_object_path_makes_the_calls_of_the_plain_steps_in_order(tmp_path, monkeypatch,
                                                                      case):
    monkeypatch.setattr(packaging, "Path", Traced)
    monkeypatch.setattr(detector, "Path", Traced)
    monkeypatch.setattr(packaging, "selected_skill_names", lambda **kwargs: ["a", "b"])
    Traced.BASE = str(tmp_path)
    ours, plain = CASES[case]
    outcomes = []
    for run, kind in ((ours, "ours"), (plain, "plain")):
        root = tree(tmp_path / kind)
        Traced.BASE = str(tmp_path / kind)
        del LOG[:]
        result = run(root)
        outcomes.append((json.loads(json.dumps(result, default=str).replace(kind, "")),
                         list(LOG)))
    assert outcomes[0] == outcomes[1]


def test_a_link_given_to_remove_tree_is_unlinked_with_one_query(tmp_path):
    root = tree(tmp_path)
    del LOG[:]
    packaging._remove_tree(root / "a" / "link")
    assert [entry[0] for entry in LOG] == ["__truediv__", "with_segments", "__truediv__",
                                           "with_segments", "is_symlink", "stat", "unlink"]
    assert (tmp_path / "t" / "b" / "sub" / "deep" / "x.md").exists()


def test_validation_formats_names_of_any_type(tmp_path, monkeypatch):
    # Names from rebound siblings are formatted as an f-string does.
    (tmp_path / "1").mkdir()
    monkeypatch.setattr(packaging, "load_release_manifest",
                        lambda root: {"skills": {1: {"wheel": True}, 2.5: "x"}})
    monkeypatch.setattr(packaging, "list_template_dirs", lambda root: [tmp_path / "1"])
    problems = packaging.validate_release_manifest(tmp_path)
    assert "manifest 声明了不存在的模板目录: 1" in problems
    assert "manifest 声明了不存在的模板目录: 2.5" in problems
