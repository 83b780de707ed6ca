"""`install`: skills from any source into every chosen target, recorded in
the lock file; with no SOURCE, exactly what the lock file says.

Every source is fetched and every skill in it checked before anything is
written (`sources`); then every target is planned, and a target that
would be overwritten without `--force` refuses the whole run, still before
anything is written.  Each skill is staged in full before it is put in
place (`staging`), recorded beside its copy (`records`), and the lock file
of the scope is written from those records (`locked`)."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from . import locked, lockfile, records, staging
from .common import ALL_RUNTIMES, EXIT_OK, CommandError, Refused, UsageError
from .i18n import _, join
from .installed import (_check_target_scope, _clear_leftovers, _keeps_backup, _lexists,
                        _note_created, _refuse_the_store, _require_targets, _Target,
                        _targets_for, lock_scope)
from .options import completes, dry_run_option, target_options
from .output import Outcome, table
from .sources import Fetcher, Found, parse, pick
from .store import central_store_dir, record_link


def install_options(sub) -> None:
    sub.epilog = _(
        "SOURCE 可以是：内置模板的名称；一个 Skill 目录或装有多个 Skill 的目录；\n"
        ".zip 或 .tar.gz 归档的路径或 https:// URL；git 仓库 git+https://…、\n"
        "git+ssh://…、git+file://…（可带 #REF：分支、标签或提交）。来源中有多个\n"
        "Skill 时全部安装，--skill 只选其中的几个。Skill 是含 SKILL.md 的目录，\n"
        "SKILL.md 的 YAML 头信息须有 name 与 description。名称不是普通目录名、\n"
        "成员逃出目录树或链接指向树外、超出数量、大小或压缩比限制、头信息无效\n"
        "的来源被拒绝（退出状态 2），不写入任何东西。\n"
        "在项目中安装到检测到的每个 AI 工具（--runtime 缩小范围），并记入项目根目录\n"
        "的 tarvek-skills.lock；用户级安装记入中央存储中的同名文件。不给 SOURCE 时\n"
        "按锁文件原样安装（同一修订、同一内容摘要，否则拒绝并指出 Skill）。\n"
        "目标已存在时不覆盖，除非给出 --force（退出状态 1，不写入任何东西）。\n"
        "先复制到 Skills 目录内的隐藏暂存目录 .tarvek-staging 再改名就位；替换时\n"
        "新旧副本原子交换。--force 替换安装后被修改过（或没有安装记录）的 Skill 时，\n"
        "先把旧副本保存到 .tarvek-backup/NAME-时间。--link 只在中央存储\n"
        "（TARVEK_CENTRAL_SKILLS_DIR 可覆盖）放一份副本，各目标放指向它的符号链接；\n"
        "已有的存储副本沿用，--force 时替换。--dry-run 只列出将要执行的操作。")
    completes(sub.positionals.add_argument(
        "sources", metavar="SOURCE", nargs="*",
        help=_("来源：内置模板名、目录、归档或 git 仓库；可给多个")), "sources")
    sub.options.add_argument("--skill", metavar="NAME", action="append", dest="skills",
                             help=_("只安装来源中的这个 Skill，可重复"))
    target_options(sub)
    sub.options.add_argument("--force", action="store_true",
                             help=_("替换已存在的 Skill（新副本完整后与旧的原子交换；"
                                    "被修改过的旧副本会保留）"))
    sub.options.add_argument("--link", action="store_true",
                             help=_("副本放在中央存储，目标处只放指向它的符号链接"))
    dry_run_option(sub)


# --------------------------------------------------------------------------
# Planning


@dataclass
class _Plan:
    """One skill into its targets."""

    found: Found
    entries: list[_Target]
    actions: list[str]
    store: _Target | None = None
    store_action: str | None = None
    store_note: str | None = None
    done: bool = False

    @property
    def name(self) -> str:
        return self.found.name


def _stored_digest(store: _Target) -> str | None:
    """What the stored copy holds, if it is as its record says."""
    if records.state(store.skills_dir, store.name) != records.UNCHANGED:
        return None
    record = records.read(store.skills_dir, store.name)
    return record.digest if record is not None else None


def _plan(found: Found, pairs: list[tuple[str, Path]], force: bool, link: bool,
          locked_digest: bool) -> _Plan:
    """What installing `found` into `pairs` does.  For a restore from the
    lock file (`locked_digest`), a target that already holds exactly the
    locked content is kept, and a stored copy with other content refuses."""
    entries = _targets_for(pairs, found.name)
    actions = []
    for target in entries:
        if not _lexists(target.dest):
            actions.append("install")
        elif locked_digest and not link and _holds(target, found.digest):
            actions.append("keep")
        elif not force:
            actions.append("refuse")
        else:
            actions.append("replace-backup" if _keeps_backup(target.skills_dir, target.name)
                           else "replace")
    plan = _Plan(found, entries, actions)
    if link:
        _refuse_the_store(entries, _("链接到自身"))
        store = _Target([_("（中央存储）")], central_store_dir(), found.name)
        plan.store = store
        if not _lexists(store.dest):
            plan.store_action = "install"
        elif force:
            plan.store_action = ("replace-backup" if _keeps_backup(store.skills_dir, found.name)
                                 else "replace")
        elif _stored_digest(store) == found.digest:
            plan.store_action = "reuse"
        elif locked_digest:
            raise Refused(_("中央存储中的 {name} 与锁文件记录的内容摘要不同: {path}"
                            "（加 --force 替换它，旧副本会保留）").format(name=found.name,
                                                                       path=store.dest))
        else:
            plan.store_action = "reuse"
            plan.store_note = _("中央存储中已有的 {name} 与来源的内容不同，沿用已有副本"
                                "（加 --force 替换）: {path}").format(name=found.name,
                                                                     path=store.dest)
        for i, target in enumerate(entries):
            # Restoring, a link already made to this stored copy stays.
            if not locked_digest or actions[i] == "install" or not _lexists(target.dest):
                continue
            if records.state(target.skills_dir, target.name) == records.UNCHANGED and \
                    records.read(target.skills_dir, target.name).link == str(store.dest) \
                    and not force:
                actions[i] = "keep"
    return plan


def _holds(target: _Target, digest: str) -> bool:
    record = records.read(target.skills_dir, target.name)
    return (record is not None and record.link is None and record.digest == digest
            and records.state(target.skills_dir, target.name) == records.UNCHANGED)


def _action_text(action: str) -> str:
    return {"install": _("将安装"), "replace": _("将替换"),
            "replace-backup": _("已被修改（或无安装记录），将替换并保留旧副本"),
            "refuse": _("已存在，将拒绝（用 --force 替换）"), "reuse": _("已存在，沿用"),
            "keep": _("已与锁文件一致，保持不变")}[action]


# --------------------------------------------------------------------------
# Carrying a plan out


def _backups(plan: _Plan) -> None:
    if plan.store is not None and plan.store_action == "replace-backup":
        plan.store.backup = records.backup(plan.store.skills_dir, plan.name)
    for target, action in zip(plan.entries, plan.actions):
        if action == "replace-backup":
            target.backup = records.backup(target.skills_dir, target.name)


def _record(target: _Target, found: Found, link: Path | None = None) -> None:
    records.write(target.skills_dir, records.Record(
        target.name, found.info.version, found.source.spec, found.digest,
        link=None if link is None else str(link), revision=found.revision, path=found.subpath))


def _carry_out(plan: _Plan, force: bool) -> None:
    found, store = plan.found, plan.store
    _backups(plan)
    with staging.Staging() as stage:
        if store is not None and plan.store_action != "reuse":
            store.run = stage.run(store.skills_dir, plan.name)
            store.run.stage_copy(found.prepared)
        moving = [(t, a) for t, a in zip(plan.entries, plan.actions) if a != "keep"]
        for target, _action in moving:
            target.run = stage.run(target.skills_dir, plan.name)
            if store is not None:
                target.run.stage_link(store.dest)
            else:
                target.run.stage_copy(found.prepared)
        copies = ([store.run] if store is not None and store.run is not None
                  else [t.run for t, _a in moving] if store is None else [])
        for run in copies:
            if run.digest() != found.digest:
                raise CommandError(_("暂存的副本与检查过的内容不同（来源在读取时被改动？）: "
                                     "{name}").format(name=plan.name))
        with staging.signals_held():
            if store is not None and store.run is not None:
                store.run.commit(True)
                _record(store, found)
            for target, _action in moving:
                target.run.commit(True)
                _record(target, found, store.dest if store is not None else None)
            _note_created([t.run for t, _a in moving]
                          + ([store.run] if store is not None and store.run else []))
    if store is not None:
        for target in plan.entries:
            record_link(store.dest, target.dest)
    plan.done = True


def _run_plans(plans: list[_Plan], force: bool, restoring: bool = False) -> None:
    for plan in plans:
        for target, action in zip(plan.entries, plan.actions):
            if action == "refuse" and restoring:
                raise CommandError(_("{path} 与锁文件记录的 {name} 不同（安装后被修改过，或来自"
                                     "别处）；加 --force 替换，旧副本会保留").format(
                    path=target.dest, name=plan.name))
            if action == "refuse":
                raise staging.exists_error(target.dest)
    dirs = [t.skills_dir for p in plans for t in p.entries if t.skills_dir.is_dir()]
    dirs += [p.store.skills_dir for p in plans
             if p.store is not None and p.store.skills_dir.is_dir()]
    _clear_leftovers(dirs)
    for plan in plans:
        try:
            _carry_out(plan, force)
        except BaseException:
            records.discard_backups([t.backup for t in [*plan.entries, plan.store]
                                     if t is not None and t.backup is not None])
            raise


def _result_text(target: _Target, action: str) -> str:
    if action == "keep":
        return _("已与锁文件一致")
    text = _("已替换") if target.run.replaced else _("已安装")
    if target.backup is not None:
        text += _("（旧副本保存在 {path}）").format(path=target.backup)
    return text


def _report(plans: list[_Plan], dry_run: bool, scope: locked.Scope | None,
            restored: bool) -> Outcome:
    rows, document_skills, warnings = [], [], []
    for plan in plans:
        found = plan.found
        if plan.store_note:
            warnings.append(plan.store_note)
        store_doc = None
        if plan.store is not None:
            store = plan.store
            if dry_run:
                rows.append([found.name, store.runtimes[0], str(store.dest),
                             _action_text(plan.store_action)])
                store_doc = {"path": str(store.dest), "action": plan.store_action}
            else:
                result = {"install": "installed", "replace": "replaced",
                          "replace-backup": "replaced", "reuse": "reused"}[plan.store_action]
                text = {"installed": _("已存入"), "replaced": _("已替换"),
                        "reused": _("沿用已有副本")}[result]
                if store.backup is not None:
                    text += _("（旧副本保存在 {path}）").format(path=store.backup)
                rows.append([found.name, store.runtimes[0], str(store.dest), text])
                store_doc = {"path": str(store.dest), "result": result,
                             "backup": None if store.backup is None else str(store.backup)}
        targets_doc = []
        for target, action in zip(plan.entries, plan.actions):
            if dry_run:
                text = _action_text(action)
                targets_doc += [{"runtime": r, "path": str(target.dest), "action": action}
                                for r in target.runtimes]
            else:
                text = _result_text(target, action)
                if plan.store is not None and action != "keep":
                    text += _("（链接）")
                done = {"runtime": None, "path": str(target.dest),
                        "replaced": bool(target.run and target.run.replaced),
                        "backup": None if target.backup is None else str(target.backup)}
                if restored:
                    done["kept"] = action == "keep"
                targets_doc += [{**done, "runtime": r} for r in target.runtimes]
            rows.append([found.name, ", ".join(target.runtimes), str(target.dest), text])
        document_skills.append({
            "name": found.name, "source": found.source.spec, "path": found.subpath,
            "revision": found.revision, "digest": found.digest,
            "version": found.info.version or None,
            "plan" if dry_run else "installed": targets_doc,
            "link": None if plan.store is None else str(plan.store.dest), "store": store_doc})
    document = {"dry_run": dry_run, "restored": restored, "skills": document_skills,
                "lock": None if scope is None else str(scope.lock)}
    if len(document_skills) == 1:
        # The fields of a single skill's install, at the top as well.
        only = document_skills[0]
        document.update(name=only["name"], source=only["source"], link=only["link"],
                        store=only["store"])
        document["plan" if dry_run else "installed"] = only["plan" if dry_run else "installed"]
    head = [_("名称"), _("运行时"), _("安装目录"), _("将要执行") if dry_run else _("结果")]
    lines = table(head, rows, empty=_("锁文件中没有 Skill"))
    if scope is not None and not dry_run and plans and not restored:
        lines.append(_("已记入锁文件: {path}").format(path=scope.lock))
    return Outcome(EXIT_OK, document, lines, warnings)


# --------------------------------------------------------------------------
# The command


def cmd_install(args) -> Outcome:
    _check_target_scope(args)
    if not args.sources:
        if args.skills:
            raise UsageError(_("--skill 需要与 SOURCE 一起使用"))
        return _restore(args)
    with Fetcher() as fetcher:
        chosen: list[Found] = []
        for text in args.sources:
            source = parse(text)
            found = fetcher.fetch(source)
            if args.skills:
                chosen += [f for f in found if f.name in args.skills]
            else:
                chosen += found
        if args.skills:
            names = {f.name for f in chosen}
            missing = [n for n in args.skills if n not in names]
            if missing:
                every = [f for s in fetcher.cache.values() for f in s]
                pick(every, missing, parse(args.sources[0]) if len(args.sources) == 1
                     else _Sources(args.sources))
        seen: dict[str, Found] = {}
        for found in chosen:
            if found.name in seen:
                raise Refused(_("两个来源提供同名的 Skill {name}: {first} 与 {second}").format(
                    name=found.name, first=seen[found.name].source.spec,
                    second=found.source.spec))
            seen[found.name] = found
        pairs = _require_targets(args)
        plans = [_plan(f, pairs, args.force, args.link, False) for f in chosen]
        scope = lock_scope(args)
        if args.dry_run:
            return _report(plans, True, scope, False)
        try:
            _run_plans(plans, args.force)
        finally:
            _sync(scope, plans)
        return _report(plans, False, scope, False)


class _Sources:
    """Several sources, named together in a message."""

    def __init__(self, specs):
        self.spec = join(specs)


def _sync(scope: locked.Scope | None, plans: list[_Plan]) -> None:
    done = [p for p in plans if p.done]
    if scope is not None and done:
        locked.sync(scope, [p.name for p in done],
                    {p.name: (p.found.digest, p.found.source.spec) for p in done})


def _restore(args) -> Outcome:
    scope = lock_scope(args)
    if scope is None:
        raise UsageError(_("缺少 SOURCE（只有项目或用户级安装才有锁文件可依）"))
    entries = lockfile.read(scope.lock)
    if not lockfile.path_of(scope.root).exists():
        raise UsageError(_("没有锁文件 {path}：请给出要安装的 SOURCE").format(path=scope.lock))
    wanted = set(args.runtimes or ()) - {ALL_RUNTIMES}
    directories = scope.directories()
    plans = []
    with Fetcher() as fetcher:
        for name in sorted(entries):
            entry = entries[name]
            source = parse(entry.source, base=scope.root)
            revision = entry.revision if source.kind == "git" else None
            found = [f for f in fetcher.fetch(source, revision)
                     if f.name == name and f.subpath == entry.path]
            if not found:
                raise Refused(_("锁文件中的 Skill {name} 在来源 {source} 中找不到").format(
                    name=name, source=entry.source))
            if found[0].digest != entry.digest:
                raise Refused(_("锁文件中的 Skill {name} 的内容摘要与来源 {source} 不符"
                                "（锁文件 {locked}，来源 {actual}）").format(
                    name=name, source=entry.source, locked=entry.digest,
                    actual=found[0].digest))
            runtimes = [r for r in entry.targets if not wanted or r in wanted]
            unknown = [r for r in runtimes if r not in directories]
            if unknown:
                raise Refused(_("锁文件中的 Skill {name} 的目标运行时未知: {runtime}").format(
                    name=name, runtime=unknown[0]))
            pairs = [(r, directories[r]) for r in runtimes]
            if pairs:
                plans.append(_plan(found[0], pairs, args.force, entry.link, True))
        if args.dry_run:
            return _report(plans, True, scope, True)
        # The lock file stays as it is: it is what was restored.
        _run_plans([p for p in plans if any(a != "keep" for a in p.actions)
                    or p.store_action not in (None, "reuse")], args.force, restoring=True)
        return _report(plans, False, scope, True)


__all__ = ["install_options", "cmd_install"]
