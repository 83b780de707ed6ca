"""`update`: move installed skills to what their sources have now.

A skill installed from a source (a directory, an archive, a download, a
repository) is fetched again from it: at the newest commit of its REF (or
default branch) for a repository; a skill from a built-in template, or one
without a record, is compared with the built-in template of its name by
version, as always.  A skill whose content is new is replaced as `install
--force` replaces (one stored copy for linked skills); one whose source
only moved to another revision with the same content keeps its files and
gets its record and lock entry moved on.  A skill edited since it was
installed (its digest differs from its record), or without a record, is
never replaced without `--force`, which keeps its old copy first."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from . import drift, locked, records, staging
from .common import EXIT_OK, CommandError, UsageError
from .i18n import _, join
from .installed import (_broken_warning, _check_target_scope, _clear_leftovers, _install_targets,
                        _keeps_backup)
from .model import OLDER, UNORDERABLE, Installed, Location, locations, project_dir, scan
from .options import completes, dry_run_option, skills_dir_option, target_options
from .output import Outcome, table
from .hints import suggest
from .sources import Fetcher, Found
from .staging import RunDir


def update_options(sub) -> None:
    sub.epilog = _(
        "默认检查 list 扫描的全部 Skills 目录；给出 --runtime、--global 或 --all\n"
        "时只检查与 install 相同的目标。给出 NAME 时只更新这些 Skill；NAME 未安装\n"
        "在这些目录中时拒绝（退出状态 1），不改动任何东西。\n"
        "从来源（目录、归档、URL、git 仓库）安装的 Skill 从同一来源重新读取：仓库取\n"
        "REF（或默认分支）的最新提交；内置模板安装的 Skill 与同名内置模板比较版本。\n"
        "内容有变化的 Skill 按 install --force 的方式替换，并改写锁文件中的条目；\n"
        "只是修订变了、内容相同的，只更新记录。链接到中央存储的 Skill 只更新\n"
        "存储副本一次，链接保持不变。\n"
        "安装后被修改过（内容摘要与安装记录不符）或没有安装记录的 Skill 不会\n"
        "被替换：整个更新被拒绝（退出状态 1），除非给出 --force，此时旧副本\n"
        "先保存到 .tarvek-backup/NAME-时间。版本号无法比较先后（例如\n"
        "9.9.9-custom）的 Skill 只报告，不替换，除非给出 --force。")
    completes(sub.positionals.add_argument("names", metavar="NAME", nargs="*",
                                           help=_("只更新这些 Skill")), "installed")
    target_options(sub)
    skills_dir_option(sub, _("额外检查的 Skills 目录（仅默认目标时）"))
    sub.options.add_argument("--force", action="store_true",
                             help=_("也替换被修改过的 Skill（保留旧副本）和版本无法比较的 Skill"))
    dry_run_option(sub)


@dataclass
class _Update:
    name: str
    installed: str
    available: str
    dest: Path  # what is replaced: the skill directory, or the stored copy it links to
    runtimes: list[str]
    link: bool
    relation: str
    found: Found | None
    forced: bool = False
    changed: bool = False  # changed since installed, or no record of it
    revision_only: bool = False  # same content, newer revision
    scopes: set[str] = field(default_factory=set)
    run: RunDir | None = None
    backup: Path | None = None

    @property
    def skills_dir(self) -> Path:
        return self.dest.parent

    @property
    def action(self) -> str:
        if self.revision_only:
            return "record"
        if self.relation == UNORDERABLE and not self.forced:
            return "skip-unorderable"
        if self.changed:
            return "replace-backup" if self.forced else "refuse-changed"
        return "replace"


def _action_text(action: str) -> str:
    return {"replace": "", "record": _("，内容相同，只更新记录的修订"),
            "replace-backup": _("，保留旧副本"),
            "refuse-changed": _("，已被修改（或无安装记录），将拒绝"
                                "（用 --force 更新并保留旧副本）"),
            "skip-unorderable": _("，版本无法比较，跳过（用 --force 更新）")}[action]


def _update_dirs(args) -> list[Location]:
    if not args.scope and not args.runtimes:
        return locations(args.cwd, args.skills_dir)
    scope = "user" if args.scope or "all" in args.runtimes else "project"
    dirs, seen = [], set()
    for runtime, path in _install_targets(args):
        if str(path) not in seen:
            seen.add(str(path))
            dirs.append(Location(scope, runtime, path))
    return dirs


def _updates(args, installed: list[Installed], warnings: list[str],
             fetcher: Fetcher) -> list[_Update]:
    from .model import template_versions

    templates = template_versions()
    updates: dict[str, _Update] = {}
    for skill in installed:
        if args.names and skill.name not in args.names:
            continue
        dest = drift.copy_of(skill)
        if dest is None:
            warnings.append(_("{path} 是指向中央存储之外的链接，未更新").format(path=skill.root))
            continue
        key = str(dest)
        if key in updates:
            if skill.runtime not in updates[key].runtimes:
                updates[key].runtimes.append(skill.runtime)
            updates[key].scopes.add(skill.scope)
            continue
        record = records.read(dest.parent, dest.name)
        if drift.is_builtin(record):
            newer = drift.from_builtin(skill.name, skill.version, templates)
            if newer.relation not in (OLDER, UNORDERABLE):
                continue
            newer = newer._replace(found=drift.builtin_found(fetcher, skill.name))
        else:
            newer = drift.from_source(record, skill.name, fetcher, remote=True, fetch=True)
            if newer.error is not None:
                warnings.append(_("无法检查 {name} 的来源，未更新: {reason}").format(
                    name=skill.name, reason=newer.error))
                continue
            if newer.relation != OLDER and newer.revision == record.revision:
                continue
        update = _Update(skill.name, skill.version, newer.available, dest, [skill.runtime],
                         dest != skill.root, newer.relation, newer.found, forced=args.force,
                         revision_only=newer.relation != OLDER and newer.relation != UNORDERABLE,
                         scopes={skill.scope})
        updates[key] = update
    found = list(updates.values())
    for update in found:
        if update.action not in ("skip-unorderable", "record"):
            update.changed = _keeps_backup(update.skills_dir, update.name)
    return found


def _record(update: _Update) -> None:
    found = update.found
    records.write(update.skills_dir, records.Record(
        update.name, found.info.version, found.source.spec, found.digest,
        revision=found.revision, path=found.subpath))


def _update_copies(chosen: list[_Update]) -> None:
    for update in chosen:
        if update.action == "replace-backup":
            update.backup = records.backup(update.skills_dir, update.name)
    with staging.Staging() as stage:
        for update in chosen:
            update.run = stage.run(update.skills_dir, update.name)
            update.run.stage_copy(update.found.prepared)
            if update.run.digest() != update.found.digest:
                raise CommandError(_("暂存的副本与检查过的内容不同（来源在读取时被改动？）: "
                                     "{name}").format(name=update.name))
        with staging.signals_held():
            for update in chosen:
                update.run.commit(True)
                _record(update)


def _sync_locks(args, done: list[_Update]) -> None:
    by_scope: dict[str, dict[str, str]] = {}
    for update in done:
        for scope in update.scopes & {locked.PROJECT, locked.USER}:
            by_scope.setdefault(scope, {})[update.name] = (update.found.digest,
                                                           update.found.source.spec)
    for kind, names in by_scope.items():
        scope = (locked.project_scope(project_dir(args.cwd)) if kind == locked.PROJECT
                 else locked.user_scope())
        locked.sync(scope, list(names), names)


def cmd_update(args) -> Outcome:
    _check_target_scope(args)
    if args.skills_dir is not None and (args.scope or args.runtimes):
        raise UsageError(_("--skills-dir 只能在不给 --runtime、--global 或 --all 时使用"))
    installed, broken = scan(_update_dirs(args))
    names = {s.name for s in installed}
    for name in args.names:
        if name not in names:
            raise CommandError(_("Skill {name} 未安装在任何目标中{hint}").format(
                name=name, hint=suggest(name, names)))

    warnings = [_broken_warning(b) for b in broken if not args.names or b.name in args.names]
    with Fetcher() as fetcher:
        found = _updates(args, installed, warnings, fetcher)
        for update in found:
            if update.action == "skip-unorderable":
                warnings.append(_("{path} 的版本 {installed!r} 无法与内置模板的 {available!r} "
                                  "比较先后，未更新（确认要替换请加 --force）").format(
                    path=update.dest, installed=update.installed, available=update.available))
        refused = [u for u in found if u.action == "refuse-changed"]
        if refused and not args.dry_run:
            raise CommandError(_("拒绝更新安装后被修改过（或没有安装记录）的 Skill: {paths}"
                                 "（加 --force 更新，旧副本会保留在同目录的 .tarvek-backup 中）"
                                 ).format(paths=join(str(u.dest) for u in refused)))
        chosen = [u for u in found if u.action in ("replace", "replace-backup")]
        moved = [u for u in found if u.action == "record"]

        if not args.dry_run:
            if chosen:
                _clear_leftovers([u.skills_dir for u in chosen])
                try:
                    _update_copies(chosen)
                except BaseException:
                    records.discard_backups([u.backup for u in chosen if u.backup is not None])
                    raise
            for update in moved:
                _record(update)
            _sync_locks(args, chosen + moved)

    shown = found if args.dry_run else chosen + moved
    rows = [[u.name, u.installed, u.available, ", ".join(u.runtimes),
             (_("{path}（链接共享）").format(path=u.dest) if u.link else str(u.dest))
             + (_action_text(u.action) if args.dry_run or u.action == "record" else "")
             + (_("（旧副本保存在 {path}）").format(path=u.backup) if u.backup is not None
                else "")]
            for u in shown]
    document = {"dry_run": bool(args.dry_run),
                "updated": [{"name": u.name, "from": u.installed, "to": u.available,
                             "runtimes": u.runtimes, "path": str(u.dest), "link": u.link,
                             "backup": None if u.backup is None else str(u.backup),
                             "source": u.found.source.spec if u.found else None,
                             "revision": u.found.revision if u.found else None,
                             **({"action": u.action} if args.dry_run else {})}
                            for u in shown if u.action in ("replace", "replace-backup")],
                "recorded": [{"name": u.name, "path": str(u.dest),
                              "revision": u.found.revision} for u in shown
                             if u.action == "record"],
                "refused": [{"name": u.name, "path": str(u.dest), "reason": "changed"}
                            for u in refused],
                "skipped": [{"name": u.name, "path": str(u.dest), "from": u.installed,
                             "to": u.available, "reason": "unorderable"}
                            for u in found if u.action == "skip-unorderable"]}
    head = [_("名称"), _("原版本"), _("将更新到") if args.dry_run else _("新版本"), _("运行时"),
            _("目录")]
    return Outcome(EXIT_OK, document, table(head, rows, empty=_("没有需要更新的 Skill")),
                   warnings)
