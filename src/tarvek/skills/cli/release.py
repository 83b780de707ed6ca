"""Release subcommands: where things are, manifest validation, admission,
pruning a copied templates tree and the single-file packager's data list."""

from __future__ import annotations

import errno
import os
from pathlib import Path
from typing import Any

from .common import EXIT_FAILURE, EXIT_OK, UsageError, packaging
from .output import Outcome, table
from .parsing import artifact_option, path_arg, profile_option, templates_option

# The profiles that admit every skill directory without reading the manifest;
# used only to list, in a dry run, what `prune_templates_dir` would keep.
_ADMIT_ALL_PROFILES = ("dev", "internal")


def register(command) -> None:
    command("locations", "显示中央 Skills 目录、内置模板目录和当前构建 profile。", cmd_locations)

    sub = command("validate", "校验发版清单与模板目录，每行一个问题。", cmd_validate,
                  epilog="退出状态：0 没有问题；1 发现问题；2 清单缺失或无效。")
    templates_option(sub)

    sub = command("select", "列出指定 profile 与产物准入的 Skill。", cmd_select)
    artifact_option(sub)
    profile_option(sub)
    templates_option(sub)

    sub = command(
        "prune", "修剪一份复制出的模板目录，只保留准入的 Skill，并列出保留的 Skill。", cmd_prune,
        epilog="--dry-run 只列出将被删除的 Skill 目录，不删除任何东西；\n"
        "它不列出将被清理的打包垃圾文件（__pycache__、*.pyc、*.pyo、.DS_Store）。\n"
        "拒绝修剪已安装包自带的模板目录和提供发版清单的模板目录\n"
        "（以及它们的上级或下级目录）：修剪只用于副本（退出状态 2）。")
    sub.positionals.add_argument("target", metavar="TARGET", type=path_arg,
                                 help="要修剪的模板目录副本")
    artifact_option(sub)
    profile_option(sub)
    templates_option(sub, "--manifest-templates", "manifest_templates",
                     "提供发版清单、决定准入的模板目录")
    sub.options.add_argument("--dry-run", action="store_true",
                             help="只列出将被删除的 Skill，不删除")

    sub = command("datas", "列出单文件打包所需的 (源文件, 目标目录) 对。", cmd_datas)
    profile_option(sub, "binary-minimal")
    templates_option(sub)


def cmd_locations(args) -> Outcome:
    pkg = packaging()
    central = pkg.get_central_skills_dir()
    templates = pkg.get_builtin_templates_dir()
    profile = pkg.current_profile()
    rows = [["中央 Skills 目录", str(central)], ["内置模板目录", str(templates)],
            ["当前构建 profile", profile]]
    document = {"central_skills_dir": str(central), "builtin_templates_dir": str(templates),
                "profile": profile}
    return Outcome(EXIT_OK, document, table(["位置", "值"], rows))


def templates_root(given: Path | None) -> Path:
    """The templates directory to name in the output: the one given, else the
    built-in one (the modules fall back to the same function)."""
    return given if given else packaging().get_builtin_templates_dir()


def cmd_validate(args) -> Outcome:
    problems = list(packaging().validate_release_manifest(args.templates))
    document = {"templates_dir": str(templates_root(args.templates)), "problems": problems}
    lines = table(["问题"], [[p] for p in problems]) if problems else ["未发现问题"]
    return Outcome(EXIT_FAILURE if problems else EXIT_OK, document, lines)


def cmd_select(args) -> Outcome:
    pkg = packaging()
    names = list(pkg.selected_skill_names(
        profile=args.profile, artifact=args.artifact, templates_dir=args.templates))
    document = {"profile": args.profile or pkg.current_profile(),
                "artifact": args.artifact,
                "templates_dir": str(templates_root(args.templates)), "skills": names}
    return Outcome(EXIT_OK, document, table(["Skill"], [[n] for n in names]))


def _resolved(path: Path) -> Path:
    return Path(os.path.normcase(path.resolve()))


def _overlaps(a: Path, b: Path) -> bool:
    """Whether a and b are the same directory or one lies inside the other."""
    return a == b or a in b.parents or b in a.parents


def _refuse_protected_target(target: Path, manifest_dir: Path | None) -> None:
    pkg = packaging()
    own = Path(pkg.__file__).resolve().parent / "templates"
    resolved = _resolved(target)
    if _overlaps(resolved, _resolved(own)):
        raise UsageError(
            f"拒绝修剪已安装包自带的模板目录（会破坏安装），修剪只用于副本: {target}")
    source = manifest_dir if manifest_dir else pkg.get_builtin_templates_dir()
    if _overlaps(resolved, _resolved(source)):
        raise UsageError(
            f"拒绝修剪提供发版清单的模板目录 {source}，修剪只用于副本: {target}")


def _require_directory(path: Path, what: str) -> None:
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, f"{what}不存在", str(path))
    if not path.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, f"{what}不是目录", str(path))


def cmd_prune(args) -> Outcome:
    pkg = packaging()
    target: Path = args.target
    _refuse_protected_target(target, args.manifest_templates)
    _require_directory(target, "要修剪的模板目录")
    document: dict[str, Any] = {"target": str(target), "artifact": args.artifact,
                                "dry_run": args.dry_run}
    if not args.dry_run:
        kept = list(pkg.prune_templates_dir(
            target, profile=args.profile, artifact=args.artifact,
            manifest_templates_dir=args.manifest_templates))
        document["kept"] = kept
        return Outcome(EXIT_OK, document, table(["保留的 Skill"], [[n] for n in kept]))

    # What prune_templates_dir would do, without touching the tree: under the
    # profiles that admit everything it keeps every skill directory; otherwise
    # it deletes the directories whose names the manifest does not admit.
    profile = args.profile or pkg.current_profile()
    # __pycache__ directories go as packaging junk, which this listing leaves out.
    present = [p.name for p in pkg.list_template_dirs(target) if p.name != "__pycache__"]
    if profile in _ADMIT_ALL_PROFILES:
        kept, doomed = present, []
    else:
        admitted = set(pkg.selected_skill_names(
            profile=profile, artifact=args.artifact, templates_dir=args.manifest_templates))
        doomed = [n for n in present if n not in admitted]
        kept = sorted(n for n in admitted if (target / n).exists())
    document.update(profile=profile, kept=kept, would_delete=doomed)
    return Outcome(EXIT_OK, document, table(["将删除的 Skill"], [[n] for n in doomed]))


def cmd_datas(args) -> Outcome:
    pairs = [(str(s), str(d)) for s, d in packaging().collect_skill_datas(
        profile=args.profile, templates_dir=args.templates)]
    document = {"templates_dir": str(templates_root(args.templates)),
                "datas": [list(p) for p in pairs]}
    return Outcome(EXIT_OK, document, table(["源文件", "目标目录"], [list(p) for p in pairs]))
