"""Installed-skill subcommands: list, outdated, targets, install, remove and
update, over the model of `model.py`."""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path

from .common import EXIT_OK, UsageError, detector, packaging
from .model import (SCOPE_TEXT, SCOPES, Installed, is_outdated, locations, project_dir, scan,
                    select, template_versions)
from .output import Outcome, table
from .parsing import choice_arg, cwd_option, runtime_arg, target_options

# What `install` leaves out of a copied template: bytecode and its cache
# directories, and Finder metadata, the same junk the packager leaves out.
_INSTALL_IGNORE = ("__pycache__", "*.pyc", "*.pyo", ".DS_Store")


def _model_options(sub) -> None:
    sub.options.add_argument("--runtime", metavar="R", action="append", dest="runtimes",
                             type=runtime_arg(False), help="只看这个运行时，可重复")
    sub.options.add_argument("--scope", metavar="S", action="append", dest="scopes",
                             type=choice_arg("范围", SCOPES),
                             help="只看这个范围：project、user 或 extra，可重复")
    sub.options.add_argument("--skills-dir", metavar="DIR",
                             help="额外扫描的 Skills 目录（最先扫描）")
    cwd_option(sub)


def register(command) -> None:
    sub = command("list", "列出已安装的 Skill：名称、版本、运行时、范围和目录。", cmd_list,
                  epilog="扫描全部六个运行时的项目级目录（--cwd 之下）与用户级目录，以及\n"
                  "--skills-dir 和环境变量 TARVEK_SKILLS_DIR 给出的额外目录。\n"
                  "VERSION.json 损坏而被跳过的 Skill 在标准错误上各报一行警告。")
    _model_options(sub)

    sub = command("outdated", "列出比随工具发布的内置模板更旧的已安装 Skill。", cmd_outdated)
    _model_options(sub)

    sub = command("targets", "列出安装目标：运行时与 Skills 目录。", cmd_targets)
    target_options(sub)

    sub = command(
        "install", "把内置模板 NAME 复制到每个选定目标的 skills/NAME。", cmd_install,
        epilog="NAME 必须是内置模板之一；路径、带分隔符的名字和 .. 都会在写入前\n"
        "被拒绝（退出状态 2）。目标已存在时不覆盖，除非给出 --force\n"
        "（退出状态 1，不写入任何东西）。先复制到目标旁的临时目录再改名就位：\n"
        "复制失败或中断不会留下半装的 Skill 或临时目录。")
    sub.positionals.add_argument("name", metavar="NAME", help="内置模板的名称")
    target_options(sub)
    sub.options.add_argument("--force", action="store_true",
                             help="替换已存在的 Skill（新副本完整后才移走旧的）")


# --------------------------------------------------------------------------
# list and outdated


def _skills(args) -> tuple[list[Installed], list, list[str]]:
    """The installed skills the filters select, the broken ones, and the
    warning lines for the broken ones."""
    dirs = select(locations(args.cwd, args.skills_dir), args.runtimes, args.scopes)
    installed, broken = scan(dirs)
    if args.runtimes:
        installed = [s for s in installed if s.runtime in args.runtimes]
        broken = [b for b in broken if b.runtime in args.runtimes]
    warnings = [f"跳过 VERSION.json 损坏的 Skill {b.name}（{b.runtime}，{SCOPE_TEXT[b.scope]}）: "
                f"{b.version_file}: {b.reason}" for b in broken]
    return installed, broken, warnings


def _place(skill: Installed) -> str:
    if skill.link is None:
        return str(skill.root)
    return f"{skill.root} -> {skill.link}"


def cmd_list(args) -> Outcome:
    installed, broken, warnings = _skills(args)
    rows = [[s.name, s.version, s.runtime, SCOPE_TEXT[s.scope], _place(s)] for s in installed]
    document = {"skills": [s.as_json() for s in installed],
                "broken": [b.as_json() for b in broken]}
    lines = table(["名称", "版本", "运行时", "范围", "目录"], rows, empty="未发现已安装的 Skill")
    return Outcome(EXIT_OK, document, lines, warnings)


def outdated_skills(installed: list[Installed]) -> list[tuple[Installed, str]]:
    """(skill, version of the built-in template) for every installed skill
    older than the built-in template of the same name."""
    available = template_versions()
    return [(skill, available[skill.name]) for skill in installed
            if skill.name in available and is_outdated(skill.version, available[skill.name])]


def cmd_outdated(args) -> Outcome:
    installed, broken, warnings = _skills(args)
    found = outdated_skills(installed)
    rows = [[s.name, s.version, latest, s.runtime, SCOPE_TEXT[s.scope], _place(s)]
            for s, latest in found]
    document = {"outdated": [{**s.as_json(), "available": latest} for s, latest in found],
                "broken": [b.as_json() for b in broken]}
    lines = table(["名称", "已安装", "内置模板", "运行时", "范围", "目录"], rows,
                  empty="所有已安装的 Skill 都不比内置模板旧")
    return Outcome(EXIT_OK, document, lines, warnings)


# --------------------------------------------------------------------------
# targets and install


def resolved(path: Path) -> Path:
    return Path(os.path.normcase(path.resolve()))


def _check_target_scope(args) -> None:
    if args.scope and args.runtimes:
        raise UsageError(f"--runtime 不能与 --{args.scope} 同时使用")
    if args.scope and args.cwd:
        raise UsageError(f"--cwd 不能与 --{args.scope} 同时使用（全局目录与项目无关）")


def _install_targets(args) -> list[tuple[str, Path]]:
    det = detector()
    if args.scope == "global":
        found = det.detect_global_install_targets()
    elif args.scope == "all":
        found = det.detect_all_install_targets()
    else:
        found = det.detect_install_targets(cwd=project_dir(args.cwd),
                                          preferred_runtimes=args.runtimes)
    return [(str(runtime), Path(path)) for runtime, path in found]


def cmd_targets(args) -> Outcome:
    _check_target_scope(args)
    found = _install_targets(args)
    document = {"targets": [{"runtime": r, "path": str(p)} for r, p in found]}
    return Outcome(EXIT_OK, document, table(["运行时", "Skills 目录"],
                                            [[r, str(p)] for r, p in found]))


# --------------------------------------------------------------------------
# install


def _builtin_template(name: str) -> Path:
    """The built-in template directory called `name`; any other name (a path,
    a name with a separator, "..", an empty name) is refused."""
    templates = list(packaging().list_template_dirs())
    by_name = {p.name: p for p in templates}
    single = name not in ("", ".", "..") and os.sep not in name and (
        os.altsep is None or os.altsep not in name)
    if not single or name not in by_name:
        available = "、".join(sorted(by_name)) or "（无）"
        raise UsageError(f"不是内置 Skill 模板的名称: {name!r}（可用: {available}）")
    return by_name[name]


def _lexists(path: Path) -> bool:
    return os.path.lexists(path)


def _make_dirs(path: Path) -> list[Path]:
    """Create `path` and its missing parents; return those created, deepest first."""
    missing = []
    probe = path
    while not _lexists(probe) and probe.parent != probe:
        missing.append(probe)
        probe = probe.parent
    path.mkdir(parents=True, exist_ok=True)
    return missing


def _remove_quietly(path: Path) -> None:
    shutil.rmtree(path, ignore_errors=True)


@dataclass
class _Staged:
    runtimes: list[str]
    dest: Path
    temp: Path | None = None  # the complete copy, until it is renamed into place
    aside: Path | None = None  # private holder of the old skill while it is replaced
    old_parked: bool = False  # the old skill lies in `aside`
    committed: bool = False


def _stage(source: Path, staged: _Staged, created: list[Path]) -> None:
    """Copy the template into a temporary directory beside the destination."""
    skills_dir = staged.dest.parent
    created.extend(_make_dirs(skills_dir))
    staged.temp = Path(tempfile.mkdtemp(dir=skills_dir, prefix=f".{staged.dest.name}.tmp-"))
    shutil.copytree(source, staged.temp, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns(*_INSTALL_IGNORE),
                    copy_function=shutil.copy2)


def _exists_error(dest: Path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, "Skill 已存在（用 --force 替换）", str(dest))


def _commit(staged: _Staged, force: bool) -> None:
    """Rename the complete copy into place.  With `force` an existing skill is
    first moved aside, and put back if the rename fails."""
    dest = staged.dest
    if _lexists(dest):
        if not force:
            raise _exists_error(dest)
        staged.aside = Path(tempfile.mkdtemp(dir=dest.parent, prefix=f".{dest.name}.old-"))
        os.rename(dest, staged.aside / dest.name)
        staged.old_parked = True
    try:
        os.replace(staged.temp, dest)
    except BaseException:
        if staged.old_parked:
            os.rename(staged.aside / dest.name, dest)
            staged.old_parked = False
        raise
    staged.temp = None
    staged.committed = True


def _clean_up(staged: list[_Staged], created: list[Path]) -> None:
    """After a failure: remove every temporary directory, and the directories
    this run created if they are still empty.  An old skill that could not be
    put back stays in its holder rather than being lost."""
    for item in staged:
        if item.temp is not None:
            _remove_quietly(item.temp)
        if item.aside is not None and (item.committed or not item.old_parked):
            _remove_quietly(item.aside)
    for directory in sorted(created, key=lambda p: len(p.parts), reverse=True):
        try:
            directory.rmdir()
        except OSError:
            pass


def cmd_install(args) -> Outcome:
    _check_target_scope(args)
    source = _builtin_template(args.name)
    targets = _install_targets(args)
    if not targets:
        raise OSError(errno.ENOENT, "未检测到任何安装目标（可用 --runtime 或 --all 指定）")

    # One copy per destination: two runtime labels may name the same directory.
    by_key: dict[str, _Staged] = {}
    for runtime, skills_dir in targets:
        dest = skills_dir / args.name
        key = str(resolved(dest))
        if key in by_key:
            by_key[key].runtimes.append(runtime)
        else:
            by_key[key] = _Staged([runtime], dest)
    staged = list(by_key.values())

    if not args.force:
        for item in staged:
            if _lexists(item.dest):
                raise _exists_error(item.dest)

    # Every copy is made before any is renamed into place, so that a failed
    # copy changes nothing that was there before.
    created: list[Path] = []
    try:
        for item in staged:
            _stage(source, item, created)
        for item in staged:
            _commit(item, args.force)
    except BaseException:
        _clean_up(staged, created)
        raise
    for item in staged:
        if item.aside is not None:
            _remove_quietly(item.aside)

    installed = [{"runtime": r, "path": str(item.dest), "replaced": item.old_parked}
                 for item in staged for r in item.runtimes]
    rows = [[e["runtime"], e["path"], "已替换" if e["replaced"] else "已安装"]
            for e in installed]
    document = {"name": args.name, "source": str(source), "installed": installed}
    return Outcome(EXIT_OK, document, table(["运行时", "安装目录", "结果"], rows))


