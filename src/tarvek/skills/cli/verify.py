"""`verify`: check a built artifact against the release manifest.

Takes a wheel, an sdist, the unpacked tree of a single-file binary or a
templates directory, and reports every skill template that is there but not
admitted for the profile and artifact, every admitted one that is missing,
and every file that collection would take from outside the templates tree
through a symbolic link.  `validate` checks a source tree; this checks what
a build produced.

The profile and artifact default to those in the artifact's build record,
and the record (`build-record.json` beside the manifest) also tells where a
downstream package keeps its templates; `--templates-path` names that place
for an artifact without a record."""

from __future__ import annotations

import os
import tarfile
import tempfile
import zipfile
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from .common import EXIT_FAILURE, EXIT_OK, ManifestError, UsageError, packaging
from .options import path_arg, profile_option, templates_option
from .output import Outcome, table
from .recorded import RECORD_FILENAME, judge, read

# Where the templates lie inside each kind of artifact.
_TEMPLATES = Path("tarvek", "skills", "templates")
_KIND_TEXT = {"directory": "目录", "wheel": "wheel", "sdist": "sdist"}


def verify_options(sub) -> None:
    sub.epilog = (
        "报告：在产物中但未准入的 Skill、已准入却缺失的 Skill，以及收集时会经由\n"
        "符号链接从模板目录之外带入的文件。准入按产物自带的发版清单判定\n"
        "（或 --manifest-templates 给出的目录）。profile 与产物类型默认取产物的构建记录\n"
        f"（模板目录中的 {RECORD_FILENAME}）；没有构建记录时必须用 --profile 与 --artifact 给出。\n"
        "退出状态：0 一致；1 发现问题；2 用法、清单或构建记录错误。")
    sub.positionals.add_argument("path", metavar="ARTIFACT", type=path_arg,
                                 help="wheel（.whl）、sdist（.tar.gz）、单文件程序解包目录或模板目录")
    sub.options.add_argument("--artifact", metavar="A",
                             help="产物类型：sdist、wheel 或 binary（默认：构建记录中的产物类型）")
    profile_option(sub, "构建记录中的 profile")
    templates_option(sub, "--manifest-templates", "manifest_templates", "提供发版清单的模板目录",
                     default_text="产物自带的清单")
    sub.options.add_argument("--templates-path", metavar="PATH",
                             help="模板目录在产物中的路径，例如 mypkg/skills"
                             "（默认：构建记录所在的目录，否则 tarvek/skills/templates）")


def _fixed_templates(root: Path) -> Path | None:
    """Where our own artifacts keep the templates: tarvek/skills/templates at
    the top (wheel, binary tree) or one level down under src (sdist), or the
    directory itself when it holds a manifest."""
    for candidate in (root / _TEMPLATES, *sorted(root.glob(f"*/src/{_TEMPLATES}")),
                      *sorted(root.glob(f"*/{_TEMPLATES}"))):
        if candidate.is_dir():
            return candidate
    if (root / packaging().MANIFEST_FILENAME).is_file():
        return root
    return None


def _inside(root: Path, relative: str) -> list[Path]:
    """`relative` below the artifact's root, or below its one top directory
    (an sdist's name-version/)."""
    return [p for p in (root / relative, *sorted(root.glob(f"*/{relative}"))) if p.is_dir()]


def _recorded_templates(root: Path) -> list[Path]:
    """The templates directories whose build record says they lie where
    they are: the root itself, or its record's templates_path."""
    if (root / RECORD_FILENAME).is_file():
        return [root]
    found = []
    for record_file in sorted(root.rglob(RECORD_FILENAME)):
        record = read(record_file.parent)
        if record is not None and record_file.parent in _inside(root, record.templates_path):
            found.append(record_file.parent)
    return found


def _find_templates(root: Path, templates_path: str | None) -> Path:
    if templates_path is not None:
        relative = Path(templates_path)
        if relative.is_absolute() or ".." in relative.parts:
            raise UsageError(f"--templates-path 必须是产物内的相对路径: {templates_path}")
        if relative == Path("."):
            return root
        found = _inside(root, relative.as_posix())
        if len(found) != 1:
            what = "找不到" if not found else "有不止一个"
            raise UsageError(f"在产物中{what}模板目录 {templates_path}")
        return found[0]
    recorded = _recorded_templates(root)
    if len(recorded) > 1:
        places = "、".join(str(p.relative_to(root)) for p in recorded)
        raise UsageError(
            f"产物中有多个带构建记录的模板目录（{places}）：请用 --templates-path 指定")
    if recorded:
        return recorded[0]
    templates = _fixed_templates(root)
    if templates is None:
        raise UsageError(f"在产物中找不到模板目录（{_TEMPLATES}）或发版清单；"
                         "模板在别处时请用 --templates-path 指定")
    return templates


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


def _chosen(given: str | None, recorded: str | None, option: str) -> tuple[str, str]:
    """(value, where it came from) of the profile or the artifact."""
    if given:
        return given, option
    if recorded:
        return recorded, "record"
    what = "profile" if option == "--profile" else "产物类型"
    raise ManifestError(f"产物没有构建记录，不知道它的{what}：请用 {option} 指定")


def cmd_verify(args) -> Outcome:
    with _unpacked(args.path) as (unpacked, kind):
        templates = _find_templates(unpacked, args.templates_path)
        record = read(templates)
        profile, profile_source = _chosen(args.profile, record and record.profile, "--profile")
        artifact, artifact_source = _chosen(args.artifact, record and record.artifact,
                                            "--artifact")
        manifest_dir = args.manifest_templates or templates
        judgement = judge(templates, manifest_dir, profile, artifact)
        present, admitted = judgement.present, judgement.admitted
        extra, missing = judgement.not_admitted, judgement.missing
        linked = _outside_links(templates, [n for n in present if n in admitted])
        where = templates.relative_to(unpacked) if kind != "directory" else templates

    findings = ([["未准入却在产物中", n] for n in extra]
                + [["已准入却缺失", n] for n in missing]
                + [["经符号链接来自模板目录之外", f"{f} -> {real}"] for f, real in linked])
    document = {"path": str(args.path), "kind": kind, "templates": str(where),
                "profile": profile, "profile_source": profile_source,
                "artifact": artifact, "artifact_source": artifact_source,
                "record": record.as_json() if record else None, "present": present,
                "admitted": admitted, "not_admitted": extra, "missing": missing,
                "outside_links": [{"file": f, "target": real} for f, real in linked]}
    source_text = {"--profile": "--profile", "--artifact": "--artifact", "record": "构建记录"}
    lines = [f"产物: {args.path}（{_KIND_TEXT[kind]}，模板目录 {where}）",
             f"profile {profile}（{source_text[profile_source]}），产物类型 {artifact}"
             f"（{source_text[artifact_source]}）: 准入 {len(admitted)} 个 Skill，"
             f"产物携带 {len(present)} 个"]
    lines += table(["问题", "对象"], findings, empty="一致：产物恰好携带准入的 Skill")
    return Outcome(EXIT_FAILURE if findings else EXIT_OK, document, lines)
