"""`verify`: check a built artifact against the release manifest.

Takes a wheel, an sdist, the unpacked tree of a single-file binary or a
templates directory, and reports every skill template that is there but not
admitted for the profile and artifact, every admitted one that is missing,
and every file that collection would take from outside the templates tree
through a symbolic link.  `validate` checks a source tree; this checks what
a build produced."""

from __future__ import annotations

import os
import tarfile
import tempfile
import zipfile
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from .common import EXIT_FAILURE, EXIT_OK, UsageError, packaging
from .manifest import skill_dir_names
from .options import artifact_option, path_arg, profile_option, templates_option
from .output import Outcome, table

# Where the templates lie inside each kind of artifact.
_TEMPLATES = Path("tarvek", "skills", "templates")
_KIND_TEXT = {"directory": "目录", "wheel": "wheel", "sdist": "sdist"}


def verify_options(sub) -> None:
    sub.epilog = (
        "报告：在产物中但未准入的 Skill、已准入却缺失的 Skill，以及收集时会经由\n"
        "符号链接从模板目录之外带入的文件。准入按产物自带的发版清单判定\n"
        "（或 --manifest-templates 给出的目录）。退出状态：0 一致；1 发现问题；2 用法或清单错误。")
    sub.positionals.add_argument("path", metavar="ARTIFACT", type=path_arg,
                                 help="wheel（.whl）、sdist（.tar.gz）、单文件程序解包目录或模板目录")
    artifact_option(sub)
    profile_option(sub)
    templates_option(sub, "--manifest-templates", "manifest_templates", "提供发版清单的模板目录",
                     default_text="产物自带的清单")


def _find_templates(root: Path) -> Path | None:
    """The templates directory in an unpacked artifact: tarvek/skills/templates
    at the top (wheel, binary tree) or one level down under src (sdist), or
    the directory itself when it holds a manifest."""
    for candidate in (root / _TEMPLATES, *sorted(root.glob(f"*/src/{_TEMPLATES}")),
                      *sorted(root.glob(f"*/{_TEMPLATES}"))):
        if candidate.is_dir():
            return candidate
    if (root / packaging().MANIFEST_FILENAME).is_file():
        return root
    return None


@contextmanager
def _unpacked(path: Path) -> Iterator[tuple[Path, str]]:
    """(directory to look in, kind of artifact)."""
    if path.is_dir():
        yield path, "directory"
        return
    if not path.exists():
        raise FileNotFoundError(2, "产物不存在", str(path))
    with tempfile.TemporaryDirectory(prefix="tarvek-verify-") as scratch:
        if zipfile.is_zipfile(path):
            with zipfile.ZipFile(path) as archive:
                archive.extractall(scratch)
            yield Path(scratch), "wheel"
        elif tarfile.is_tarfile(path):
            with tarfile.open(path) as archive:
                archive.extractall(scratch, filter="data")
            yield Path(scratch), "sdist"
        else:
            raise UsageError(f"不是 wheel、sdist 或目录: {path}")


def _outside_links(templates: Path, names: list[str]) -> list[tuple[str, str]]:
    """(file, where it really is) for each file of the named skills that
    collection would take through a symbolic link leading out of the tree.
    Collection lists files with rglob, which does not descend into linked
    directories but follows linked files."""
    pkg = packaging()
    root = os.path.realpath(templates)
    found = []
    for name in names:
        for path in sorted((templates / name).rglob("*")):
            if not pkg._is_packable_file(path):
                continue
            real = os.path.realpath(path)
            if os.path.commonpath([root, real]) != root:
                found.append((str(path), real))
    return found


def cmd_verify(args) -> Outcome:
    pkg = packaging()
    with _unpacked(args.path) as (unpacked, kind):
        templates = _find_templates(unpacked)
        if templates is None:
            raise UsageError(f"在 {args.path} 中找不到模板目录（{_TEMPLATES}）或发版清单")
        manifest_dir = args.manifest_templates or templates
        profile = args.profile or pkg.current_profile()
        manifest = pkg.load_release_manifest(manifest_dir)
        present = skill_dir_names(templates)
        declared = list(manifest.get("skills") or {}) if isinstance(manifest, dict) else []
        candidates = list(dict.fromkeys([*declared, *present]))
        admitted = [n for n in candidates if pkg.skill_allowed(
            n, profile=profile, artifact=args.artifact, manifest=manifest,
            templates_dir=manifest_dir)]
        extra = [n for n in present if n not in admitted]
        missing = [n for n in admitted if n not in present]
        linked = _outside_links(templates, [n for n in present if n in admitted])
        where = templates.relative_to(unpacked) if kind != "directory" else templates

    findings = ([["未准入却在产物中", n] for n in extra]
                + [["已准入却缺失", n] for n in missing]
                + [["经符号链接来自模板目录之外", f"{f} -> {real}"] for f, real in linked])
    document = {"path": str(args.path), "kind": kind, "templates": str(where),
                "profile": profile, "artifact": args.artifact, "present": present,
                "admitted": admitted, "not_admitted": extra, "missing": missing,
                "outside_links": [{"file": f, "target": real} for f, real in linked]}
    lines = [f"产物: {args.path}（{_KIND_TEXT[kind]}，模板目录 {where}）",
             f"profile {profile}，产物类型 {args.artifact}: 准入 {len(admitted)} 个 Skill，"
             f"产物携带 {len(present)} 个"]
    lines += table(["问题", "对象"], findings, empty="一致：产物恰好携带准入的 Skill")
    return Outcome(EXIT_FAILURE if findings else EXIT_OK, document, lines)
