"""Installed-skill subcommands: list, outdated, targets, install, remove and
update, over the model of `model.py`."""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass
from pathlib import Path

from . import records, staging
from .common import (ALL_RUNTIMES, DISTRIBUTION, EXIT_OK, CommandError, Refused, UsageError,
                     detector, packaging, resolved, single_name)
from .confirm import confirm, yes_option
from .model import (OLDER, SCOPE_TEXT, SCOPES, UNORDERABLE, Broken, Installed, Location,
                    compare_versions, locations, project_dir, scan, select, template_versions)
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
        "--force 替换安装后被修改过（或没有安装记录）的 Skill 时，先把旧副本\n"
        "保存到同一 Skills 目录的 .tarvek-backup/NAME-时间 中，输出会说明位置。\n"
        "每次安装在 .tarvek-installed/NAME.json 记下内容摘要，据此判断是否被修改。\n"
        "复制失败或中断（Ctrl-C、SIGTERM、SIGHUP）不留下半装的 Skill；被强行\n"
        "终止的运行留下的暂存内容由下一次 install、update 或 remove 清理。\n"
        "--link 只在中央存储（TARVEK_CENTRAL_SKILLS_DIR 可覆盖）放一份副本，\n"
        "各目标放指向它的符号链接；已有的存储副本沿用，--force 时替换。\n"
        "--dry-run 只列出目标和将要执行的操作，不改动任何东西。")
    sub.positionals.add_argument("name", metavar="NAME", help="内置模板的名称")
    target_options(sub)
    sub.options.add_argument("--force", action="store_true",
                             help="替换已存在的 Skill（新副本完整后与旧的原子交换；"
                             "被修改过的旧副本会保留）")
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
        "其他项目里的链接），它也一并删除。Skills 目录本身就是（或链接到）中央\n"
        "存储时拒绝（退出状态 2）。install 为安装而创建的目录，删除后若已为空\n"
        "也一并删除；其他目录从不删除。--all 在终端上会先列出并询问，\n"
        "--yes 跳过询问；没有终端时必须给出 --yes（退出状态 2）。")
    sub.positionals.add_argument("name", metavar="NAME", help="已安装 Skill 的名称")
    target_options(sub)
    dry_run_option(sub)
    yes_option(sub)


def update_options(sub) -> None:
    sub.epilog = (
        "默认检查 list 扫描的全部 Skills 目录；给出 --runtime、--global 或 --all\n"
        "时只检查与 install 相同的目标。给出 NAME 时只更新这些 Skill；NAME 不是\n"
        "内置模板时拒绝（退出状态 2），未安装在这些目录中时拒绝（退出状态 1），\n"
        "都不改动任何东西。替换方式与 install --force 相同。链接到中央存储的\n"
        "Skill 只更新存储副本一次，链接保持不变。\n"
        "安装后被修改过（内容摘要与安装记录不符）或没有安装记录的 Skill 不会\n"
        "被替换：整个更新被拒绝（退出状态 1），除非给出 --force，此时旧副本\n"
        "先保存到 .tarvek-backup/NAME-时间。版本号无法比较先后（例如\n"
        "9.9.9-custom）的 Skill 只报告，不替换，除非给出 --force。")
    sub.positionals.add_argument("names", metavar="NAME", nargs="*", help="只更新这些 Skill")
    target_options(sub)
    skills_dir_option(sub, "额外检查的 Skills 目录（仅默认目标时）")
    sub.options.add_argument("--force", action="store_true",
                             help="也替换被修改过的 Skill（保留旧副本）和版本无法比较的 Skill")
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


def compared_skills(installed: list[Installed]) -> list[tuple[Installed, str, str]]:
    """(skill, version of the built-in template, how they compare) for every
    installed skill older than the built-in template of the same name, or
    whose version cannot be ordered against it."""
    available = template_versions()
    found = []
    for skill in installed:
        if skill.name in available:
            relation = compare_versions(skill.version, available[skill.name])
            if relation in (OLDER, UNORDERABLE):
                found.append((skill, available[skill.name], relation))
    return found


_RELATION_TEXT = {OLDER: "较旧", UNORDERABLE: "无法比较先后"}


def cmd_outdated(args) -> Outcome:
    installed, broken, warnings = _skills(args)
    found = compared_skills(installed)
    older = [(s, latest) for s, latest, relation in found if relation == OLDER]
    unorderable = [(s, latest) for s, latest, relation in found if relation == UNORDERABLE]
    rows = [[s.name, s.version, latest, _RELATION_TEXT[relation], s.runtime,
             SCOPE_TEXT[s.scope], _place(s)] for s, latest, relation in found]
    document = {"outdated": [{**s.as_json(), "available": latest} for s, latest in older],
                "unorderable": [{**s.as_json(), "available": latest}
                                for s, latest in unorderable],
                "broken": [b.as_json() for b in broken]}
    lines = table(["名称", "已安装", "内置模板", "比较", "运行时", "范围", "目录"], rows,
                  empty="所有已安装的 Skill 都不比内置模板旧")
    if unorderable:
        warnings.append(f"{len(unorderable)} 个 Skill 的版本无法与内置模板比较先后，"
                        "update 不会替换它们（除非给出 --force）")
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


def _revision() -> str:
    from importlib import metadata

    try:
        return f"{DISTRIBUTION} {metadata.version(DISTRIBUTION)}"
    except metadata.PackageNotFoundError:
        return DISTRIBUTION


@dataclass
class _Target:
    """One destination skills/NAME, under every runtime label that names it."""

    runtimes: list[str]
    skills_dir: Path
    name: str
    run: RunDir | None = None
    backup: Path | None = None  # where the replaced copy was kept

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


def _refuse_the_store(entries: list[_Target], what: str) -> None:
    """A skills directory that is the central store (through a link, say)
    holds the copies other projects link to: never act on it as a target."""
    store = resolved(central_store_dir())
    for entry in entries:
        if resolved(entry.skills_dir) == store:
            raise Refused(f"{entry.skills_dir} 就是中央存储目录（{central_store_dir()}），"
                          f"其中的副本由其他项目链接共用，不能{what}")


def _clear_leftovers(directories) -> None:
    """Before a run changes anything: clear what killed runs left in every
    skills directory it touches."""
    seen = set()
    for directory in directories:
        key = str(resolved(directory))
        if key not in seen:
            seen.add(key)
            staging.clear_leftovers(directory)


def _keeps_backup(skills_dir: Path, name: str) -> bool:
    """Whether replacing skill `name` must keep its old copy: it changed
    since this tool installed it, or nothing tells that it did not."""
    return (_lexists(Path(skills_dir) / name)
            and records.state(skills_dir, name) != records.UNCHANGED)


def _record_copy(target: _Target, version: str, digest: str) -> None:
    records.write(target.skills_dir, records.Record(
        target.name, version, f"builtin:{target.name}", digest, revision=_revision()))


def _record_link(target: _Target, stored: Path, version: str, digest: str) -> None:
    records.write(target.skills_dir, records.Record(
        target.name, version, f"builtin:{target.name}", digest, link=str(stored),
        revision=_revision()))


def _note_created(runs: list[RunDir]) -> None:
    for run in runs:
        records.note_created(run.skills_dir, run.created)


# --------------------------------------------------------------------------
# install

_INSTALL_ACTION_TEXT = {"install": "将安装", "replace": "将替换",
                        "replace-backup": "已被修改（或无安装记录），将替换并保留旧副本",
                        "refuse": "已存在，将拒绝（用 --force 替换）", "reuse": "已存在，沿用"}


def _plan_install(entries: list[_Target], force: bool) -> list[str]:
    plan = []
    for target in entries:
        if not _lexists(target.dest):
            plan.append("install")
        elif not force:
            plan.append("refuse")
        else:
            plan.append("replace-backup" if _keeps_backup(target.skills_dir, target.name)
                        else "replace")
    return plan


def _backups(entries: list[_Target], plan: list[str]) -> None:
    """Keep a copy of every skill that a forced replacement would lose
    changes of, before anything is replaced."""
    for target, action in zip(entries, plan):
        if action == "replace-backup":
            target.backup = records.backup(target.skills_dir, target.name)


def _result_text(target: _Target) -> str:
    text = "已替换" if target.run.replaced else "已安装"
    if target.backup is not None:
        text += f"（旧副本保存在 {target.backup}）"
    return text


def cmd_install(args) -> Outcome:
    _check_target_scope(args)
    source = _builtin_template(args.name)
    entries = _targets_for(_require_targets(args), args.name)
    plan = _plan_install(entries, args.force)
    version = template_versions().get(args.name, "")

    store: _Target | None = None
    store_action = None
    if args.link:
        _refuse_the_store(entries, "链接到自身")
        store = _Target(["（中央存储）"], central_store_dir(), args.name)
        if not _lexists(store.dest):
            store_action = "install"
        elif not args.force:
            store_action = "reuse"
        else:
            store_action = ("replace-backup" if _keeps_backup(store.skills_dir, args.name)
                            else "replace")

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
    try:
        _install_copies(args, source, entries, plan, store, store_action, version)
    except BaseException:
        records.discard_backups([t.backup for t in [*entries, store]
                                 if t is not None and t.backup is not None])
        raise

    if store is not None:
        for entry in entries:
            record_link(store.dest, entry.dest)
    installed = [{"runtime": r, "path": str(t.dest), "replaced": t.run.replaced,
                  "backup": None if t.backup is None else str(t.backup)}
                 for t in entries for r in t.runtimes]
    rows = [[", ".join(t.runtimes), str(t.dest), _result_text(t)] for t in entries]
    document = {"name": args.name, "source": str(source), "installed": installed,
                "link": None if store is None else str(store.dest), "store": None}
    if store is not None:
        result = {"install": "installed", "replace": "replaced", "replace-backup": "replaced",
                  "reuse": "reused"}[store_action]
        document["store"] = {"path": str(store.dest), "result": result,
                             "backup": None if store.backup is None else str(store.backup)}
        text = {"installed": "已存入", "replaced": "已替换", "reused": "沿用已有副本"}[result]
        if store.backup is not None:
            text += f"（旧副本保存在 {store.backup}）"
        rows.insert(0, [store.runtimes[0], str(store.dest), text])
        for row in rows[1:]:
            row[2] += "（链接）"
    return Outcome(EXIT_OK, document, table(["运行时", "安装目录", "结果"], rows))


def _install_copies(args, source: Path, entries: list[_Target], plan: list[str],
                    store: _Target | None, store_action: str | None, version: str) -> None:
    """Keep the copies a forced replacement would lose, stage everything,
    then put it in place with its records."""
    if store is not None:
        _backups([store], [store_action])
    _backups(entries, plan)
    # Everything is staged before anything is put in place, so that a failed
    # copy changes nothing that was there before.
    digest = None
    with staging.Staging() as stage:
        if store is not None and store_action != "reuse":
            store.run = stage.run(store.skills_dir, args.name)
            store.run.stage_copy(source)
            digest = store.run.digest()
        for entry in entries:
            entry.run = stage.run(entry.skills_dir, args.name)
            if store is not None:
                entry.run.stage_link(store.dest)
            else:
                entry.run.stage_copy(source)
                digest = entry.run.digest() if digest is None else digest
        with staging.signals_held():
            # A commit and its record go together: Ctrl-C waits for both.
            if store is not None and store.run is not None:
                store.run.commit(args.force)
                _record_copy(store, version, digest)
            for entry in entries:
                entry.run.commit(args.force)
                if store is not None:
                    _record_link(entry, store.dest, version,
                                 digest or _stored_digest(store))
                else:
                    _record_copy(entry, version, digest)
            _note_created([t.run for t in entries]
                          + ([store.run] if store is not None and store.run else []))


def _stored_digest(store: _Target) -> str:
    """The digest of a stored copy that is reused: its record's, else its own."""
    record = records.read(store.skills_dir, store.name)
    if record is not None and record.link is None:
        return record.digest
    from .tree import digest

    return digest(store.dest)


# --------------------------------------------------------------------------
# remove


def _explicit_runtimes(args) -> bool:
    return bool(args.runtimes) and ALL_RUNTIMES not in args.runtimes and not args.scope


def _every_runtime(args) -> bool:
    return args.scope == "all" or ALL_RUNTIMES in (args.runtimes or ())


def cmd_remove(args) -> Outcome:
    _check_target_scope(args)
    name = args.name
    if not single_name(name) or name in (staging.STAGING, records.RECORDS, records.BACKUPS):
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
    _refuse_the_store(present, "从这里删除")

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

    if _every_runtime(args):
        confirm("删除 Skill ", [str(t.dest) for t in present]
                + [f"{p}（中央存储）" for p in stored.values() if orphaned(p)], args.yes)

    _clear_leftovers([t.skills_dir for t in present])
    with staging.Staging() as stage:
        for entry in present:
            entry.run = stage.run(entry.skills_dir, name)
            entry.run.take_away()
            records.forget(entry.skills_dir, name)

    for entry, copy in points_at:
        if copy is not None:
            forget_link(copy, entry.dest)
    dropped = [p for p in stored.values() if not links_to(p, known) and _lexists(p)]
    if dropped:
        _clear_leftovers([store_dir])
        with staging.Staging() as stage:
            for copy in dropped:
                stage.run(copy.parent, copy.name).take_away()
                records.forget(copy.parent, copy.name)
        for copy in dropped:
            forget_copy(copy)
    emptied = []
    for directory in dict.fromkeys([*(t.skills_dir for t in present),
                                    *(p.parent for p in dropped)]):
        emptied += records.remove_if_empty(directory)

    def result(t: _Target) -> str:
        return "removed" if t in present else "absent"

    text = {"removed": "已删除", "absent": "未安装"}
    rows = [[", ".join(t.runtimes), str(t.dest), text[result(t)]] for t in entries]
    rows += [["（中央存储）", str(p), "已删除（不再有链接指向）"] for p in dropped]
    rows += [["", str(d), "已删除（由本工具创建，现已为空）"] for d in emptied]
    document = {"name": name,
                "removed": [{"runtime": r, "path": str(t.dest), "result": result(t)}
                            for t in entries for r in t.runtimes],
                "store_removed": [str(p) for p in dropped],
                "directories_removed": [str(d) for d in emptied]}
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
    relation: str
    forced: bool = False
    changed: bool = False  # changed since installed, or no record of it
    run: RunDir | None = None
    backup: Path | None = None
    digest: str | None = None  # of the staged copy

    @property
    def skills_dir(self) -> Path:
        return self.dest.parent

    @property
    def action(self) -> str:
        if self.relation == UNORDERABLE and not self.forced:
            return "skip-unorderable"
        if self.changed:
            return "replace-backup" if self.forced else "refuse-changed"
        return "replace"


_UPDATE_ACTION_TEXT = {
    "replace": "",
    "replace-backup": "，保留旧副本",
    "refuse-changed": "，已被修改（或无安装记录），将拒绝（用 --force 更新并保留旧副本）",
    "skip-unorderable": "，版本无法比较，跳过（用 --force 更新）",
}


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


def _updates(args, installed: list[Installed], warnings: list[str]) -> list[_Update]:
    store_dir = central_store_dir()
    updates: dict[str, _Update] = {}
    for skill, latest, relation in compared_skills(installed):
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
                                   linked, relation, forced=args.force)
    found = list(updates.values())
    for update in found:
        if update.action != "skip-unorderable":
            update.changed = _keeps_backup(update.skills_dir, update.name)
    return found


def _update_copies(chosen: list[_Update]) -> None:
    for update in chosen:
        if update.action == "replace-backup":
            update.backup = records.backup(update.skills_dir, update.name)
    with staging.Staging() as stage:
        for update in chosen:
            update.run = stage.run(update.skills_dir, update.name)
            update.run.stage_copy(_builtin_template(update.name))
            update.digest = update.run.digest()
        with staging.signals_held():
            for update in chosen:
                update.run.commit(True)
                records.write(update.skills_dir, records.Record(
                    update.name, update.available, f"builtin:{update.name}",
                    update.digest, revision=_revision()))


def cmd_update(args) -> Outcome:
    _check_target_scope(args)
    if args.skills_dir is not None and (args.scope or args.runtimes):
        raise UsageError("--skills-dir 只能在不给 --runtime、--global 或 --all 时使用")
    for name in args.names:
        _builtin_template(name)
    installed, broken = scan(_update_dirs(args))
    for name in args.names:
        if not any(s.name == name for s in installed):
            raise CommandError(f"Skill {name} 未安装在任何目标中")

    warnings = [_broken_warning(b) for b in broken if not args.names or b.name in args.names]
    found = _updates(args, installed, warnings)
    for update in found:
        if update.action == "skip-unorderable":
            warnings.append(f"{update.dest} 的版本 {update.installed!r} 无法与内置模板的 "
                            f"{update.available!r} 比较先后，未更新（确认要替换请加 --force）")
    refused = [u for u in found if u.action == "refuse-changed"]
    if refused and not args.dry_run:
        places = "、".join(str(u.dest) for u in refused)
        raise CommandError(f"拒绝更新安装后被修改过（或没有安装记录）的 Skill: {places}"
                           "（加 --force 更新，旧副本会保留在同目录的 .tarvek-backup 中）")
    chosen = [u for u in found if u.action in ("replace", "replace-backup")]

    if not args.dry_run and chosen:
        _clear_leftovers([u.skills_dir for u in chosen])
        try:
            _update_copies(chosen)
        except BaseException:
            records.discard_backups([u.backup for u in chosen if u.backup is not None])
            raise

    shown = found if args.dry_run else chosen
    rows = [[u.name, u.installed, u.available, ", ".join(u.runtimes),
             (f"{u.dest}（链接共享）" if u.link else str(u.dest))
             + (_UPDATE_ACTION_TEXT[u.action] if args.dry_run else "")
             + (f"（旧副本保存在 {u.backup}）" if u.backup is not None else "")]
            for u in shown]
    document = {"dry_run": bool(args.dry_run),
                "updated": [{"name": u.name, "from": u.installed, "to": u.available,
                             "runtimes": u.runtimes, "path": str(u.dest), "link": u.link,
                             "backup": None if u.backup is None else str(u.backup),
                             **({"action": u.action} if args.dry_run else {})}
                            for u in shown if u.action in ("replace", "replace-backup")],
                "refused": [{"name": u.name, "path": str(u.dest), "reason": "changed"}
                            for u in refused],
                "skipped": [{"name": u.name, "path": str(u.dest), "from": u.installed,
                             "to": u.available, "reason": "unorderable"}
                            for u in found if u.action == "skip-unorderable"]}
    empty = "没有需要更新的 Skill"
    head = ["名称", "原版本", "将更新到" if args.dry_run else "新版本", "运行时", "目录"]
    return Outcome(EXIT_OK, document, table(head, rows, empty=empty), warnings)
