"""Installed-skill subcommands: list, outdated, targets, install, remove and
update, over the model of `model.py`."""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass
from pathlib import Path

from . import staging
from .common import (ALL_RUNTIMES, EXIT_OK, CommandError, UsageError, detector, packaging,
                     resolved, single_name)
from .model import (SCOPE_TEXT, SCOPES, Broken, Installed, Location, is_outdated, locations,
                    project_dir, scan, select, template_versions)
from .options import dry_run_option, model_options, skills_dir_option, target_options
from .output import Outcome, table
from .staging import RunDir
from .store import (central_store_dir, forget_copy, forget_link, links_to, record_link,
                    stored_copy)


def list_options(sub) -> None:
    sub.epilog = ("扫描全部六个运行时的项目级目录（--cwd 之下）与用户级目录，以及\n"
                  "--skills-dir 和环境变量 TARVEK_SKILLS_DIR 给出的额外目录。\n"
                  "VERSION.json 损坏而被跳过的 Skill 在标准错误上各报一行警告。")
    model_options(sub, SCOPES)


def outdated_options(sub) -> None:
    model_options(sub, SCOPES)


def targets_options(sub) -> None:
    target_options(sub)


def install_options(sub) -> None:
    sub.epilog = (
        "NAME 必须是内置模板之一；路径、带分隔符的名字和 .. 都会在写入前\n"
        "被拒绝（退出状态 2）。目标已存在时不覆盖，除非给出 --force\n"
        "（退出状态 1，不写入任何东西）。先复制到 Skills 目录内的隐藏暂存目录\n"
        ".tarvek-staging 再改名就位；替换时新旧副本原子交换，目标任何时刻都在。\n"
        "复制失败或中断（Ctrl-C、SIGTERM、SIGHUP）不留下半装的 Skill；被强行\n"
        "终止的运行留下的暂存内容由下一次 install、update 或 remove 清理。\n"
        "--link 只在中央存储（TARVEK_CENTRAL_SKILLS_DIR 可覆盖）放一份副本，\n"
        "各目标放指向它的符号链接；已有的存储副本沿用，--force 时替换。\n"
        "--dry-run 只列出目标和将要执行的操作，不改动任何东西。")
    sub.positionals.add_argument("name", metavar="NAME", help="内置模板的名称")
    target_options(sub)
    sub.options.add_argument("--force", action="store_true",
                             help="替换已存在的 Skill（新副本完整后与旧的原子交换）")
    sub.options.add_argument("--link", action="store_true",
                             help="副本放在中央存储，目标处只放指向它的符号链接")
    dry_run_option(sub)


def remove_options(sub) -> None:
    sub.epilog = (
        "目标与 install 相同（默认按项目目录推断）。NAME 必须是单个名字，\n"
        "路径、分隔符、. 和 .. 被拒绝（退出状态 2）。NAME 不在任何目标中，或\n"
        "不在用 --runtime 点名的某个目标中时拒绝（退出状态 1，不改动任何东西）。\n"
        "先把 Skill 原子地移入暂存目录再删除；符号链接只删链接本身，从不跟随。\n"
        "删除指向中央存储的链接后，若再没有链接指向那份存储副本（已知的 Skills\n"
        "目录中的链接，以及 install --link 记录在存储目录 .tarvek-links 中的、\n"
        "其他项目里的链接），它也一并删除。")
    sub.positionals.add_argument("name", metavar="NAME", help="已安装 Skill 的名称")
    target_options(sub)
    dry_run_option(sub)


def update_options(sub) -> None:
    sub.epilog = (
        "默认检查 list 扫描的全部 Skills 目录；给出 --runtime、--global 或 --all\n"
        "时只检查与 install 相同的目标。给出 NAME 时只更新这些 Skill；NAME 不是\n"
        "内置模板或未安装在这些目录中时拒绝（退出状态 1，不改动任何东西）。\n"
        "替换方式与 install --force 相同。链接到中央存储的 Skill 只更新存储副本\n"
        "一次，链接保持不变。")
    sub.positionals.add_argument("names", metavar="NAME", nargs="*", help="只更新这些 Skill")
    target_options(sub)
    skills_dir_option(sub, "额外检查的 Skills 目录（仅默认目标时）")
    dry_run_option(sub)


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
    return installed, broken, [_broken_warning(b) for b in broken]


def _broken_warning(broken: Broken) -> str:
    return (f"跳过 VERSION.json 损坏的 Skill {broken.name}（{broken.runtime}，"
            f"{SCOPE_TEXT[broken.scope]}）: {broken.version_file}: {broken.reason}")


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
                                            [[r, str(p)] for r, p in found],
                                            empty="没有检测到安装目标"))


# --------------------------------------------------------------------------
# install, remove and update: what they share


def _lexists(path: Path) -> bool:
    return os.path.lexists(path)


def _builtin_template(name: str) -> Path:
    """The built-in template directory called `name`; any other name (a path,
    a name with a separator, "..", an empty name) is refused."""
    templates = list(packaging().list_template_dirs())
    by_name = {p.name: p for p in templates}
    if not single_name(name) or name not in by_name:
        available = "、".join(sorted(by_name)) or "（无）"
        raise UsageError(f"不是内置 Skill 模板的名称: {name!r}（可用: {available}）")
    return by_name[name]


@dataclass
class _Target:
    """One destination skills/NAME, under every runtime label that names it."""

    runtimes: list[str]
    skills_dir: Path
    name: str
    run: RunDir | None = None

    @property
    def dest(self) -> Path:
        return self.skills_dir / self.name


def _targets_for(pairs: list[tuple[str, Path]], name: str) -> list[_Target]:
    """One entry per destination: two runtime labels may name the same directory."""
    by_key: dict[str, _Target] = {}
    for runtime, skills_dir in pairs:
        # The directory is resolved, never the entry: links to one stored
        # copy are different destinations.
        key = str(resolved(skills_dir) / name)
        if key in by_key:
            by_key[key].runtimes.append(runtime)
        else:
            by_key[key] = _Target([runtime], skills_dir, name)
    return list(by_key.values())


def _require_targets(args) -> list[tuple[str, Path]]:
    targets = _install_targets(args)
    if not targets:
        raise OSError(errno.ENOENT, "未检测到任何安装目标（可用 --runtime 或 --all 指定）")
    return targets


def _clear_leftovers(directories) -> None:
    """Before a run changes anything: clear what killed runs left in every
    skills directory it touches."""
    seen = set()
    for directory in directories:
        key = str(resolved(directory))
        if key not in seen:
            seen.add(key)
            staging.clear_leftovers(directory)


# --------------------------------------------------------------------------
# install

_INSTALL_ACTION_TEXT = {"install": "将安装", "replace": "将替换",
                        "refuse": "已存在，将拒绝（用 --force 替换）", "reuse": "已存在，沿用"}


def _plan_install(entries: list[_Target], force: bool) -> list[str]:
    return [("replace" if force else "refuse") if _lexists(t.dest) else "install"
            for t in entries]


def cmd_install(args) -> Outcome:
    _check_target_scope(args)
    source = _builtin_template(args.name)
    entries = _targets_for(_require_targets(args), args.name)
    plan = _plan_install(entries, args.force)

    store: _Target | None = None
    store_action = None
    if args.link:
        store_dir = central_store_dir()
        for entry in entries:
            if resolved(entry.skills_dir) == resolved(store_dir):
                raise UsageError(f"安装目标就是中央存储目录，不能链接到自身: {entry.skills_dir}")
        store = _Target(["（中央存储）"], store_dir, args.name)
        if not _lexists(store.dest):
            store_action = "install"
        else:
            store_action = "replace" if args.force else "reuse"

    if args.dry_run:
        rows = [[", ".join(t.runtimes), str(t.dest), _INSTALL_ACTION_TEXT[a]]
                for t, a in zip(entries, plan)]
        if store is not None:
            rows.insert(0, [store.runtimes[0], str(store.dest), _INSTALL_ACTION_TEXT[store_action]])
        document = {"name": args.name, "source": str(source), "dry_run": True,
                    "link": None if store is None else str(store.dest),
                    "store": None if store is None else {"path": str(store.dest),
                                                         "action": store_action},
                    "plan": [{"runtime": r, "path": str(t.dest), "action": a}
                             for t, a in zip(entries, plan) for r in t.runtimes]}
        return Outcome(EXIT_OK, document, table(["运行时", "安装目录", "将要执行"], rows))

    for entry, action in zip(entries, plan):
        if action == "refuse":
            raise staging.exists_error(entry.dest)

    _clear_leftovers([t.skills_dir for t in entries if t.skills_dir.is_dir()]
                     + ([store.skills_dir] if store is not None and store.skills_dir.is_dir()
                        else []))
    # Everything is staged before anything is put in place, so that a failed
    # copy changes nothing that was there before.
    with staging.Staging() as stage:
        if store is not None and store_action != "reuse":
            store.run = stage.run(store.skills_dir, args.name)
            store.run.stage_copy(source)
        for entry in entries:
            entry.run = stage.run(entry.skills_dir, args.name)
            if store is not None:
                entry.run.stage_link(store.dest)
            else:
                entry.run.stage_copy(source)
        if store is not None and store.run is not None:
            store.run.commit(args.force)
        for entry in entries:
            entry.run.commit(args.force)

    if store is not None:
        for entry in entries:
            record_link(store.dest, entry.dest)
    installed = [{"runtime": r, "path": str(t.dest), "replaced": t.run.replaced}
                 for t in entries for r in t.runtimes]
    rows = [[e["runtime"], e["path"], "已替换" if e["replaced"] else "已安装"]
            for e in installed]
    document = {"name": args.name, "source": str(source), "installed": installed,
                "link": None if store is None else str(store.dest), "store": None}
    if store is not None:
        result = {"install": "installed", "replace": "replaced", "reuse": "reused"}[store_action]
        document["store"] = {"path": str(store.dest), "result": result}
        text = {"installed": "已存入", "replaced": "已替换", "reused": "沿用已有副本"}[result]
        rows.insert(0, [store.runtimes[0], str(store.dest), text])
        for row in rows[1:]:
            row[2] += "（链接）"
    return Outcome(EXIT_OK, document, table(["运行时", "安装目录", "结果"], rows))


# --------------------------------------------------------------------------
# remove


def _explicit_runtimes(args) -> bool:
    return bool(args.runtimes) and ALL_RUNTIMES not in args.runtimes and not args.scope


def cmd_remove(args) -> Outcome:
    _check_target_scope(args)
    name = args.name
    if not single_name(name) or name == staging.STAGING:
        raise UsageError(f"不是 Skill 的名称: {name!r}（只能是一个路径组成部分）")
    entries = _targets_for(_require_targets(args), name)
    present = [t for t in entries if _lexists(t.dest)]
    if not present:
        places = "、".join(str(t.skills_dir) for t in entries)
        raise CommandError(f"Skill {name} 未安装在任何目标中: {places}")
    if _explicit_runtimes(args):
        missing = [t for t in entries if not _lexists(t.dest)]
        if missing:
            raise CommandError(f"Skill {name} 未安装在 {', '.join(missing[0].runtimes)} 的目录中: "
                               f"{missing[0].skills_dir}")

    store_dir = central_store_dir()
    points_at = [(t, stored_copy(t.dest, store_dir)) for t in present]
    stored = {str(p): p for _, p in points_at if p is not None}
    known = locations(args.cwd, None)
    removing = {os.path.abspath(t.dest) for t in present}

    def orphaned(copy: Path) -> bool:
        return links_to(copy, known) <= removing

    if args.dry_run:
        rows = [[", ".join(t.runtimes), str(t.dest), "将删除" if t in present else "未安装"]
                for t in entries]
        drop = [p for p in stored.values() if orphaned(p)]
        rows += [["（中央存储）", str(p), "将删除（不再有链接指向）"] for p in drop]
        document = {"name": name, "dry_run": True,
                    "plan": [{"runtime": r, "path": str(t.dest),
                              "action": "remove" if t in present else "absent"}
                             for t in entries for r in t.runtimes],
                    "store_removed": [str(p) for p in drop]}
        return Outcome(EXIT_OK, document, table(["运行时", "目录", "将要执行"], rows))

    _clear_leftovers([t.skills_dir for t in present])
    with staging.Staging() as stage:
        for entry in present:
            entry.run = stage.run(entry.skills_dir, name)
            entry.run.take_away()

    for entry, copy in points_at:
        if copy is not None:
            forget_link(copy, entry.dest)
    dropped = [p for p in stored.values() if not links_to(p, known) and _lexists(p)]
    if dropped:
        _clear_leftovers([store_dir])
        with staging.Staging() as stage:
            for copy in dropped:
                stage.run(copy.parent, copy.name).take_away()
        for copy in dropped:
            forget_copy(copy)

    def result(t: _Target) -> str:
        return "removed" if t in present else "absent"

    text = {"removed": "已删除", "absent": "未安装"}
    rows = [[", ".join(t.runtimes), str(t.dest), text[result(t)]] for t in entries]
    rows += [["（中央存储）", str(p), "已删除（不再有链接指向）"] for p in dropped]
    document = {"name": name,
                "removed": [{"runtime": r, "path": str(t.dest), "result": result(t)}
                            for t in entries for r in t.runtimes],
                "store_removed": [str(p) for p in dropped]}
    return Outcome(EXIT_OK, document, table(["运行时", "目录", "结果"], rows))


# --------------------------------------------------------------------------
# update


@dataclass
class _Update:
    name: str
    installed: str
    available: str
    dest: Path  # what is replaced: the skill directory, or the stored copy it links to
    runtimes: list[str]
    link: bool
    run: RunDir | None = None


def _update_dirs(args) -> list[Location]:
    if not args.scope and not args.runtimes:
        return locations(args.cwd, args.skills_dir)
    scope = "user" if args.scope or ALL_RUNTIMES in args.runtimes else "project"
    dirs, seen = [], set()
    for runtime, path in _install_targets(args):
        if str(path) not in seen:
            seen.add(str(path))
            dirs.append(Location(scope, runtime, path))
    return dirs


def cmd_update(args) -> Outcome:
    _check_target_scope(args)
    if args.skills_dir is not None and (args.scope or args.runtimes):
        raise UsageError("--skills-dir 只能在不给 --runtime、--global 或 --all 时使用")
    installed, broken = scan(_update_dirs(args))
    available = template_versions()
    for name in args.names:
        if name not in available:
            raise CommandError(f"不是内置 Skill 模板的名称: {name!r}")
        if not any(s.name == name for s in installed):
            raise CommandError(f"Skill {name} 未安装在任何目标中")

    store_dir = central_store_dir()
    updates: dict[str, _Update] = {}
    warnings = [_broken_warning(b) for b in broken if not args.names or b.name in args.names]
    for skill, latest in outdated_skills(installed):
        if args.names and skill.name not in args.names:
            continue
        dest, linked = skill.root, False
        if os.path.islink(skill.root):
            dest, linked = stored_copy(skill.root, store_dir), True
            if dest is None:
                warnings.append(f"{skill.root} 是指向中央存储之外的链接，未更新")
                continue
        key = str(resolved(dest))
        if key in updates:
            if skill.runtime not in updates[key].runtimes:
                updates[key].runtimes.append(skill.runtime)
        else:
            updates[key] = _Update(skill.name, skill.version, latest, dest, [skill.runtime],
                                   linked)
    found = list(updates.values())

    if not args.dry_run and found:
        _clear_leftovers([u.dest.parent for u in found])
        with staging.Staging() as stage:
            for update in found:
                update.run = stage.run(update.dest.parent, update.name)
                update.run.stage_copy(_builtin_template(update.name))
            for update in found:
                update.run.commit(True)

    rows = [[u.name, u.installed, u.available, ", ".join(u.runtimes),
             f"{u.dest}（链接共享）" if u.link else str(u.dest)] for u in found]
    document = {"dry_run": bool(args.dry_run),
                "updated": [{"name": u.name, "from": u.installed, "to": u.available,
                             "runtimes": u.runtimes, "path": str(u.dest), "link": u.link}
                            for u in found]}
    empty = "没有需要更新的 Skill"
    head = ["名称", "原版本", "将更新到" if args.dry_run else "新版本", "运行时", "目录"]
    return Outcome(EXIT_OK, document, table(head, rows, empty=empty), warnings)
