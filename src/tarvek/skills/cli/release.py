"""Release subcommands: where things are, manifest validation, admission,
pruning a copied templates tree and the single-file packager's data list."""

from __future__ import annotations

import errno
import os
import pwd
import re
from pathlib import Path
from typing import Any

from . import tree
from .common import EXIT_FAILURE, EXIT_OK, Refused, packaging, resolved
from .confirm import confirm, yes_option
from .manifest import (JUNK_DIRECTORY, admits_everything, check_manifest, known_profiles,
                       profile_line, reading_manifest, resolve_profile, skill_dir_names,
                       templates_root)
from .options import (artifact_option, dry_run_option, path_arg, profile_option,
                      templates_option)
from .output import Outcome, table
from .i18n import _, join

# The profile each subcommand uses when neither --profile nor the environment
# names one: select (and prune) fall back as `current_profile` does, datas
# always builds for the minimal binary, as `collect_skill_datas` does.
_SELECT_DEFAULT = "dev"
_DATAS_DEFAULT = "binary-minimal"


def validate_options(sub) -> None:
    sub.epilog = (_("它检查的是源模板树；按 profile 修剪过的产物请用 verify 检查。\n"
                    "退出状态：0 没有问题；1 发现问题；2 清单缺失或无效。"))
    templates_option(sub)


def select_options(sub) -> None:
    artifact_option(sub)
    profile_option(sub)
    templates_option(sub)


def prune_options(sub) -> None:
    sub.epilog = (
        _("--dry-run 列出将被删除的 Skill 目录和打包垃圾（__pycache__、*.pyc、\n"
          "*.pyo、.DS_Store），不删除任何东西。\n"
          "拒绝修剪已安装包自带的模板目录和提供发版清单的模板目录\n"
          "（以及它们的上级或下级目录）：修剪只用于副本（退出状态 2）。\n"
          "也拒绝（除非给出 --force）没有自己的 manifest.json 的目录，以及\n"
          "将删除的目录中有不是 Skill 模板的（既无 SKILL.md 也无 data，\n"
          "例如 .git、src、docs）的目录，--dry-run 时同样拒绝（退出状态 2）。\n"
          "--force 也不解除的拒绝：主目录及其上级目录、/、文件系统的根（挂载点），\n"
          "无论怎样写（符号链接、..、末尾斜杠），都先解析再比较。\n"
          "--force 在终端上会先列出将删除的内容并询问，--yes 跳过询问；\n"
          "没有终端时 --force 必须与 --yes 一起给出（退出状态 2）。"))
    sub.positionals.add_argument("target", metavar="TARGET", type=path_arg,
                                 help=_("要修剪的模板目录副本"))
    artifact_option(sub)
    profile_option(sub)
    templates_option(sub, "--manifest-templates", "manifest_templates",
                     _("提供发版清单、决定准入的模板目录"))
    dry_run_option(sub, _("只列出将被删除的 Skill，不删除"))
    sub.options.add_argument("--force", action="store_true",
                             help=_("修剪没有 manifest.json 或含有非 Skill 目录的目录"
                                    "（不解除对已安装模板、清单来源目录、主目录、/ 和"
                                    "挂载点的保护）"))
    yes_option(sub)


def datas_options(sub) -> None:
    profile_option(sub, _("binary-minimal，不读取环境变量"))
    templates_option(sub)


def cmd_locations(args) -> Outcome:
    pkg = packaging()
    central = pkg.get_central_skills_dir()
    templates = pkg.get_builtin_templates_dir()
    profile = pkg.current_profile()
    rows = [[_("中央 Skills 目录"), str(central)], [_("内置模板目录"), str(templates)],
            [_("当前构建 profile"), profile]]
    document = {"central_skills_dir": str(central), "builtin_templates_dir": str(templates),
                "profile": profile}
    warnings = []
    known = known_profiles()
    if profile not in known:
        warnings.append(_("环境变量 {PROFILE_ENV} 给出的构建 profile {profile!r} 未知"
                          "，select、prune 和构建都会拒绝它（可用: {value}）").format(
                            PROFILE_ENV=pkg.PROFILE_ENV, profile=profile, value=join(known)))
    return Outcome(EXIT_OK, document, table([_("位置"), _("值")], rows), warnings)


# The one validation problem that a pruned artifact has by design.
_DECLARED_MISSING = "manifest 声明了不存在的模板目录: "


def cmd_validate(args) -> Outcome:
    with reading_manifest(args.templates):
        problems = list(packaging().validate_release_manifest(args.templates))
    root = templates_root(args.templates)
    lines = [_("检查: 源模板树 {root}（发版清单与模板目录是否一致）").format(root=root)]
    lines += table([_("问题")], [[p] for p in problems], empty=_("未发现问题"))
    hint = None
    if any(p.startswith(_DECLARED_MISSING) for p in problems):
        hint = (_("清单声明而模板目录中没有的 Skill，在按 profile 修剪过的产物（wheel"
                  "、sdist、单文件程序）里是正常的：validate 检查的是源模板树；检查构"
                  "建产物请用 tarvek-skills verify 产物 --profile P --artifact A"))
        lines += ["", hint]
    document = {"check": "source-tree", "templates_dir": str(root), "problems": problems,
                "hint": hint}
    return Outcome(EXIT_FAILURE if problems else EXIT_OK, document, lines)


def cmd_select(args) -> Outcome:
    pkg = packaging()
    profile, source = resolve_profile(args.profile, _SELECT_DEFAULT)
    if not admits_everything(profile):
        check_manifest(args.templates)
    with reading_manifest(args.templates):
        names = list(pkg.selected_skill_names(
            profile=profile, artifact=args.artifact, templates_dir=args.templates))
    document = {"profile": profile, "profile_source": source, "artifact": args.artifact,
                "templates_dir": str(templates_root(args.templates)), "skills": names}
    lines = [profile_line(profile, source),
             *table(["Skill"], [[n] for n in names], empty=_("没有准入的 Skill"))]
    return Outcome(EXIT_OK, document, lines)


def _overlaps(a: Path, b: Path) -> bool:
    """Whether a and b are the same directory or one lies inside the other."""
    return a == b or a in b.parents or b in a.parents


def _refuse_protected_target(target: Path, manifest_dir: Path | None) -> None:
    pkg = packaging()
    own = Path(pkg.__file__).resolve().parent / "templates"
    real = resolved(target)
    if _overlaps(real, resolved(own)):
        raise Refused(
            _("拒绝修剪已安装包自带的模板目录（会破坏安装），修剪只用于副本: {target}").format(
                target=target))
    source = manifest_dir if manifest_dir else pkg.get_builtin_templates_dir()
    if _overlaps(real, resolved(source)):
        raise Refused(
            _("拒绝修剪提供发版清单的模板目录 {source}，修剪只用于副本: {target}").format(
                source=source, target=target))


def _require_directory(path: Path, what: str) -> None:
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, _("{what}不存在").format(what=what), str(path))
    if not path.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, _("{what}不是目录").format(what=what), str(path))


def _is_skill_template(path: Path) -> bool:
    return (path / "SKILL.md").exists() or (path / "data").exists()


def _prune_plan(target: Path, profile: str, args) -> tuple[list[str], list[str]]:
    """(kept, doomed): the skills `prune_templates_dir` keeps and the
    directories it deletes, worked out without touching the tree.  Under the
    profiles that admit everything it keeps every skill directory; otherwise
    it deletes every directory whose name the manifest does not admit.
    A `__pycache__` goes as packaging junk, not as a skill, and is left out."""
    present = skill_dir_names(target)
    if admits_everything(profile):
        return present, []
    check_manifest(args.manifest_templates)
    with reading_manifest(args.manifest_templates):
        admitted = set(packaging().selected_skill_names(
            profile=profile, artifact=args.artifact, templates_dir=args.manifest_templates))
    doomed = [n for n in present if n not in admitted]
    kept = sorted(n for n in admitted if (target / n).exists())
    return kept, doomed


# Pruning deletes whole directories: a target that does not look like a
# copied templates tree is refused unless --force says that it is one.

def _refuse_without_manifest(target: Path) -> None:
    manifest = packaging().MANIFEST_FILENAME
    if not (target / manifest).is_file():
        raise Refused(
            _("拒绝修剪 {target}: 其中没有自己的 {manifest}，不像是复制出的模板目录（"
              "确认无误请加 --force）").format(target=target, manifest=manifest))


def _refuse_strangers(target: Path, doomed: list[str]) -> None:
    strangers = [n for n in doomed if not _is_skill_template(target / n)]
    if strangers:
        raise Refused(
            _("拒绝修剪 {target}: 将被删除的目录不是 Skill 模板（既无 SKILL.md 也无 da"
              "ta）: {value}（确认无误请加 --force）").format(target=target, value=join(strangers)))


# --force lifts the guards above, never this floor: whatever the spelling, a
# target that resolves to one of these directories is refused.


_OCTAL_ESCAPE = re.compile(rb"\\([0-7]{3})")


def _mount_points() -> set[str]:
    """The mount points listed in /proc/self/mountinfo (bind mounts
    included, which a comparison of devices does not see)."""
    found = set()
    try:
        with open("/proc/self/mountinfo", "rb") as info:
            for line in info:
                fields = line.split()
                if len(fields) > 4:
                    # Blanks and backslashes in the path are written as octal escapes.
                    point = _OCTAL_ESCAPE.sub(lambda m: bytes([int(m.group(1), 8)]), fields[4])
                    found.add(os.path.normpath(os.fsdecode(point)))
    except OSError:
        pass
    return found


def _homes() -> list[Path]:
    homes = [os.path.expanduser("~")]
    try:
        homes.append(pwd.getpwuid(os.getuid()).pw_dir)
    except (KeyError, OSError):
        pass
    return [resolved(Path(home)) for home in homes if home and home != "~"]


def _refuse_the_floor(target: Path) -> None:
    real = resolved(target)
    if real == Path(real.anchor):
        raise Refused(_("拒绝修剪根目录 /（--force 也不能解除）: {target}").format(target=target))
    for home in _homes():
        if real == home or real in home.parents:
            what = _("主目录") if real == home else _("主目录 {home} 的上级目录").format(home=home)
            raise Refused(_("拒绝修剪{what}（--force 也不能解除）: {target}").format(
                              what=what, target=target))
    if os.path.ismount(real) or str(real) in _mount_points():
        raise Refused(_("拒绝修剪文件系统的根（挂载点，--force 也不能解除）: {target}").format(
                          target=target))


def _junk(target: Path, doomed: list[str]) -> list[str]:
    """What pruning deletes as packaging junk, outside the skill directories
    it deletes anyway: every `__pycache__` directory, and every file the
    packaging module does not take into a package (`_is_packable_file`)."""
    pkg = packaging()
    found = []
    skip: tuple[str, ...] | None = None  # a subtree that goes whole
    for entry in tree.walk(target):
        if skip is not None and entry.parts[:len(skip)] == skip:
            continue
        skip = None
        if len(entry.parts) == 1 and entry.name in doomed:
            skip = entry.parts
            continue
        path = target.joinpath(*entry.parts)
        if entry.name == JUNK_DIRECTORY and path.is_dir():
            found.append(entry.relative())
            skip = entry.parts
        elif entry.kind != tree.DIR and path.is_file() and not pkg._is_packable_file(path):
            found.append(entry.relative())
    return found


def cmd_prune(args) -> Outcome:
    pkg = packaging()
    target: Path = args.target
    _refuse_the_floor(target)
    _refuse_protected_target(target, args.manifest_templates)
    _require_directory(target, _("要修剪的模板目录"))
    if not args.force:
        _refuse_without_manifest(target)
    profile, source = resolve_profile(args.profile, _SELECT_DEFAULT)
    kept, doomed = _prune_plan(target, profile, args)
    if not args.force:
        _refuse_strangers(target, doomed)
    document: dict[str, Any] = {"target": str(target), "profile": profile,
                                "profile_source": source, "artifact": args.artifact,
                                "dry_run": args.dry_run}
    if args.dry_run or args.force:
        junk = _junk(target, doomed)
    if args.dry_run:
        document.update(kept=kept, would_delete=doomed, junk=junk)
        rows = [[n, _("Skill 目录")] for n in doomed] + [[j, _("打包垃圾")] for j in junk]
        return Outcome(EXIT_OK, document, table([_("将删除"), _("类别")], rows,
                                                empty=_("不会删除任何东西")))
    if args.force:
        confirm(_("修剪 {target}（--force）并删除").format(target=target), [*doomed, *junk],
                args.yes)
    with reading_manifest(args.manifest_templates):
        kept = list(pkg.prune_templates_dir(
            target, profile=profile, artifact=args.artifact,
            manifest_templates_dir=args.manifest_templates))
    document["kept"] = kept
    return Outcome(EXIT_OK, document, table([_("保留的 Skill")], [[n] for n in kept],
                                            empty=_("没有保留任何 Skill")))


def cmd_datas(args) -> Outcome:
    profile, source = resolve_profile(args.profile, _DATAS_DEFAULT, read_env=False)
    if not admits_everything(profile):
        check_manifest(args.templates)
    with reading_manifest(args.templates):
        pairs = [(str(s), str(d)) for s, d in packaging().collect_skill_datas(
            profile=profile, templates_dir=args.templates)]
    document = {"profile": profile, "profile_source": source,
                "templates_dir": str(templates_root(args.templates)),
                "datas": [list(p) for p in pairs]}
    note = ""
    if source == "default" and os.environ.get(packaging().PROFILE_ENV, "").strip():
        note = _("；datas 不读取环境变量 {PROFILE_ENV}").format(PROFILE_ENV=packaging().PROFILE_ENV)
    lines = [profile_line(profile, source, note),
             *table([_("源文件"), _("目标目录")], [list(p) for p in pairs],
                    empty=_("没有需要打包的文件"))]
    return Outcome(EXIT_OK, document, lines)
