"""The trees the benchmark works on, built afresh for every scale."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

# Files of one skill template, below its directory; the last one is junk
# that pruning deletes and collection leaves out.
SKILL_FILES = (
    "SKILL.md",
    "data/VERSION.json",
    "docs/guide/intro.md",
    "docs/guide/usage.md",
    "docs/guide/advanced/tuning.md",
    "docs/guide/advanced/limits.md",
    "docs/reference/api.md",
    "docs/reference/cli.md",
    "docs/reference/formats/json.md",
    "docs/reference/formats/yaml.md",
    "scripts/run.py",
    "scripts/helpers/util.py",
    "examples/basic.md",
    "__pycache__/x.pyc",
)

BASE_TEMPLATES = 1000
BASE_INSTALLED = 2500


@dataclass
class Workload:
    """Where one scale's trees are: templates with their manifest, a home
    directory with installed skills, a project directory, and the place of
    the copy that pruning cuts down."""

    base: Path
    templates: Path
    home: Path
    project: Path
    copy: Path
    templates_count: int
    installed_count: int

    @classmethod
    def at(cls, base: Path, templates_count: int, installed_count: int) -> Workload:
        return cls(
            base,
            base / "templates",
            base / "home",
            base / "project",
            base / "copy",
            templates_count,
            installed_count,
        )

    def build(self) -> None:
        build_templates(self.templates, self.templates_count)
        build_installed(self.home, self.installed_count)
        build_project(self.project)


def build_templates(root: Path, skills: int) -> None:
    """N skill templates and a manifest admitting about half of them per build."""
    manifest: dict = {"default": {"source": True}, "skills": {}}
    for index in range(skills):
        name = f"skill-{index:05d}"
        skill = root / name
        for relative in SKILL_FILES:
            file = skill / relative
            file.parent.mkdir(parents=True, exist_ok=True)
            if relative == "SKILL.md":
                file.write_text(f"---\nname: {name}\ndescription: synthetic\n---\n")
            elif relative == "data/VERSION.json":
                file.write_text('{"version": "1.0.0"}')
            else:
                file.write_bytes(b"x")
        # Wheel admits the even skills, the minimal binary skills 0 and 3
        # modulo 4: each build takes half, and the two halves overlap.
        manifest["skills"][name] = {
            "tier": "core" if index % 3 else "extra",
            "reason": "synthetic workload",
            "wheel": index % 2 == 0,
            "binary": index % 4 in (0, 3),
        }
    (root / "manifest.json").write_text(json.dumps(manifest, indent=1))


def build_installed(home: Path, skills: int) -> None:
    """M installed skills in the home directory's Claude skills directory."""
    base = home / ".claude" / "skills"
    for index in range(skills):
        data = base / f"installed-{index:05d}" / "data"
        data.mkdir(parents=True)
        (data / "VERSION.json").write_text('{"version": "2.0.0"}')


def build_project(project: Path) -> None:
    """A working directory with the two tool directories install detection lists."""
    (project / ".claude").mkdir(parents=True)
    (project / ".openclaw").mkdir()


def build_edge_cases(base: Path) -> Workload:
    """A small workload whose every answer is non-trivial: validation finds
    each kind of problem, pruning meets junk of every kind, links and a
    stray file, discovery meets broken, data-only and odd versions in
    several tools' directories.  The benchmark compares all variants on it
    before it times anything."""
    work = Workload.at(base, 0, 0)
    templates = work.templates
    skills = {
        "alpha": {"tier": "core", "reason": "ok", "wheel": True, "binary": True},
        "Beta": {"tier": "core", "reason": "ok", "wheel": 1, "binary_full": True},
        "gamma": {"tier": " ", "reason": "", "source": True},
        "delta": "not an object",
        "eps": {"tier": "x", "reason": None, "wheel": False, "binary": [1]},
        "zeta": {"tier": "x", "reason": "ok", "binary": True},
        "ghost": {"tier": "x", "reason": "ok", "wheel": True},
        "技能": {"tier": "x", "reason": "ok", "wheel": "no", "binary": True},
    }
    manifest = {"default": {"wheel": False, "binary": True}, "skills": skills}
    for name in (
        "alpha",
        "Beta",
        "gamma",
        "delta",
        "eps",
        "zeta",
        "undeclared",
        "技能",
        "__pycache__",
    ):
        (templates / name).mkdir(parents=True)
    for name in ("alpha", "Beta", "eps", "技能"):
        (templates / name / "SKILL.md").write_text("---\n")
        (templates / name / "data").mkdir()
        (templates / name / "data" / "VERSION.json").write_text('{"version": "1"}')
    (templates / "zeta" / "data").mkdir()
    for relative in (
        "alpha/a.py",
        "alpha/b.pyc",
        "alpha/c.pyo",
        "alpha/.DS_Store",
        "alpha/x.PYC",
        "alpha/deep/__pycache__/m.pyc",
        "alpha/deep/keep.txt",
        "alpha/.hidden",
        "Beta/__pycache__/n.pyc",
        "技能/docs/读我.md",
        "eps/__pycache__",
        "__pycache__/stale.pyc",
        "__pycache__/README.md",
    ):
        path = templates / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x")
    (templates / "alpha" / "link-to-a").symlink_to("a.py")
    (templates / "alpha" / "dangling").symlink_to("nowhere")
    (templates / "alpha" / "dirlink").symlink_to("deep", target_is_directory=True)
    (templates / "notes.txt").write_text("stray file")
    (templates / "manifest.json").write_text(json.dumps(manifest, ensure_ascii=False, indent=1))

    installed = {
        ".claude/skills/one": '{"version": "1.2.0"}',
        ".claude/skills/Two": '{"name": "no version"}',
        ".claude/skills/three": '{"version": 3}',
        ".claude/skills/broken": "{not json",
        ".claude/skills/bom": '\ufeff{"version": "1"}',
        ".claude/skills/array": "[1, 2]",
        ".codex/skills/one": '{"version": null}',
        ".config/opencode/skills/oc": '{"version": true}',
        ".trae-cn/skills/.CODEX": '{"version": "x"}',
    }
    for relative, text in installed.items():
        data = work.home / relative / "data"
        data.mkdir(parents=True)
        (data / "VERSION.json").write_text(text, encoding="utf-8")
    (work.home / ".claude/skills/data-only/data").mkdir(parents=True)
    (work.home / ".claude/skills/not-a-skill").mkdir(parents=True)
    (work.home / ".claude/skills/file.txt").write_text("x")
    (work.home / ".openclaw").mkdir()
    (work.home / ".openclaw/skills").symlink_to(work.home / ".claude/skills")
    build_project(work.project)
    (work.project / ".claude/skills/local/data").mkdir(parents=True)
    return work


def copy_tree(source: Path, target: Path) -> None:
    """A fresh copy of source at target; cp and rm are several times faster here."""
    remove_tree(target)
    cp = shutil.which("cp")
    if cp is not None:
        subprocess.run([cp, "-a", "--", str(source), str(target)], check=True)
    else:
        shutil.copytree(source, target, symlinks=True)


def remove_tree(target: Path) -> None:
    if not os.path.lexists(target):
        return
    rm = shutil.which("rm")
    if rm is not None:
        subprocess.run([rm, "-rf", "--", str(target)], check=True)
    else:
        shutil.rmtree(target)


def tree_listing(root: Path) -> list[str]:
    """Every entry below root, relative, sorted: what pruning left behind."""
    entries = []
    for dirpath, dirnames, filenames in os.walk(root):
        relative = os.path.relpath(dirpath, root)
        entries.extend(os.path.join(relative, name) for name in dirnames + filenames)
    return sorted(entries)


def shm_dir() -> str | None:
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None


def disk_dir() -> str:
    """A directory on this machine's disk: the temporary directory unless
    that is a tmpfs, else the current directory."""
    import tempfile

    for candidate in (tempfile.gettempdir(), os.getcwd()):
        if not is_tmpfs(candidate):
            return candidate
    return tempfile.gettempdir()


def is_tmpfs(path: str) -> bool:
    """Whether path lies on a memory file system, as /proc/mounts says."""
    try:
        with open("/proc/mounts", encoding="utf-8") as mounts:
            table = [line.split() for line in mounts]
    except OSError:
        return False
    real = os.path.realpath(path)
    best, kind = "", ""
    for fields in table:
        if len(fields) >= 3:
            point = fields[1]
            if (real == point or real.startswith(point.rstrip("/") + "/")) and len(point) >= len(
                best
            ):
                best, kind = point, fields[2]
    return kind in ("tmpfs", "ramfs")
