"""Installed-skill subcommands: list, outdated, targets and remove, over the
model of `model.py`, and what install and update share with remove: the
targets a run acts on, the scope whose lock file it keeps, clearing
leftovers before a change."""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from . import drift
from .common import (ALL_RUNTIMES, EXIT_OK, CommandError, Refused, UsageError, detector,
                     resolved, runtimes, single_name)
from .i18n import _, join
from .model import (OLDER, SCOPES, UNORDERABLE, Broken, Installed, locations, project_dir, scan,
                    scope_text, select, template_versions)
from .options import completes, dry_run_option, model_options, target_options
from .output import Outcome, table

# What only the changes (remove, and install and update through this
# module) need is imported where they need it: listing loads none of it.
if TYPE_CHECKING:
    from .staging import RunDir


def list_options(sub) -> None:
    sub.epilog = _("扫描全部六个运行时的项目级目录（--cwd 之下）与用户级目录，以及\n"
                   "--skills-dir 和环境变量 TARVEK_SKILLS_DIR 给出的额外目录。\n"
                   "状态一栏：内容与安装记录的摘要不符为“已修改”，没有安装记录为\n"
                   "“无安装记录”，内置模板有更高版本为“可更新到 …”；--outdated 还会询问\n"
                   "每个 Skill 的来源（git 仓库、URL 需要网络）。\n"
                   "VERSION.json 损坏而被跳过的 Skill 在标准错误上各报一行警告。")
    model_options(sub, SCOPES)
    sub.options.add_argument("--outdated", action="store_true",
                             help=_("也询问每个 Skill 的来源是否有更新的修订（可能需要网络）"))


def outdated_options(sub) -> None:
    model_options(sub, SCOPES)


def targets_options(sub) -> None:
    target_options(sub)


def remove_options(sub) -> None:
    sub.epilog = _(
        "目标与 install 相同（默认在项目中检测到的每个 AI 工具）。NAME 必须是单个名字，\n"
        "路径、分隔符、. 和 .. 被拒绝（退出状态 2）。NAME 不在任何目标中，或\n"
        "不在用 --runtime 点名的某个目标中时拒绝（退出状态 1，不改动任何东西）。\n"
        "先把 Skill 原子地移入暂存目录再删除；符号链接只删链接本身，从不跟随。\n"
        "删除指向中央存储的链接后，若再没有链接指向那份存储副本（已知的 Skills\n"
        "目录中的链接，以及 install --link 记录在存储目录 .tarvek-links 中的、\n"
        "其他项目里的链接），它也一并删除。Skills 目录本身就是（或链接到）中央\n"
        "存储时拒绝（退出状态 2）。install 为安装而创建的目录，删除后若已为空\n"
        "也一并删除；其他目录从不删除。--all 在终端上会先列出并询问，\n"
        "--yes 跳过询问；没有终端时必须给出 --yes（退出状态 2）。")
    completes(sub.positionals.add_argument("name", metavar="NAME",
                                           help=_("已安装 Skill 的名称")), "installed")
    from .confirm import yes_option

    target_options(sub)
    dry_run_option(sub)
    yes_option(sub)


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
    return _("跳过 VERSION.json 损坏的 Skill {name}（{runtime}，{scope}）: "
             "{path}: {reason}").format(
        name=broken.name, runtime=broken.runtime, scope=scope_text(broken.scope),
        path=broken.version_file, reason=broken.reason)


def _place(skill: Installed) -> str:
    if skill.link is None:
        return str(skill.root)
    return f"{skill.root} -> {skill.link}"


def _standing(skills: list[Installed], remote: bool, sources: bool,
              warnings: list[str]) -> list[tuple[str, drift.Newer, object]]:
    """(local state, what its source offers, its record) of each skill.
    Built-in templates are always compared (they are here); other sources
    only when `sources` is set, remote ones only when `remote` is too."""
    from contextlib import nullcontext

    if sources:
        from .sources import Fetcher

        fetching = Fetcher()
    else:
        fetching = nullcontext()
    templates = template_versions()
    found = []
    with fetching as fetcher:
        asked: dict[tuple, drift.Newer] = {}
        for skill in skills:
            record = drift.record_of(skill)
            if drift.is_builtin(record):
                newer = drift.from_builtin(skill.name, skill.version, templates)
            elif sources:
                key = (record.source, record.path, skill.name, record.digest, record.revision)
                if key not in asked:
                    asked[key] = drift.from_source(record, skill.name, fetcher, remote=remote,
                                                   fetch=False)
                    if asked[key].error is not None:
                        warnings.append(_("无法检查 {name} 的来源: {reason}").format(
                            name=skill.name, reason=asked[key].error))
                newer = asked[key]
            else:
                newer = drift.Newer(None)
            found.append((drift.local_state(skill), newer, record))
    return found


def _status_text(state: str, newer: drift.Newer) -> str:
    parts = []
    if state == drift.EDITED:
        parts.append(_("已修改"))
    elif state == drift.UNRECORDED:
        parts.append(_("无安装记录"))
    if newer.relation == OLDER:
        parts.append(_("可更新到 {version}").format(version=newer.available))
    elif newer.relation == UNORDERABLE:
        parts.append(_("版本无法比较"))
    return _("，").join(parts) or _("正常")


def _standing_json(skill: Installed, state: str, newer: drift.Newer, record) -> dict:
    return {**skill.as_json(), "state": state,
            "outdated": None if newer.relation is None else newer.relation == OLDER,
            "available": newer.available or None,
            "source": None if record is None else record.source,
            "revision": None if record is None else record.revision}


def cmd_list(args) -> Outcome:
    installed, broken, warnings = _skills(args)
    standing = _standing(installed, args.outdated, args.outdated, warnings)
    rows = [[s.name, s.version, s.runtime, scope_text(s.scope), _status_text(state, newer),
             _place(s)] for s, (state, newer, _r) in zip(installed, standing)]
    document = {"skills": [_standing_json(s, *st) for s, st in zip(installed, standing)],
                "broken": [b.as_json() for b in broken]}
    lines = table([_("名称"), _("版本"), _("运行时"), _("范围"), _("状态"), _("目录")], rows,
                  empty=_("未发现已安装的 Skill"))
    return Outcome(EXIT_OK, document, lines, warnings)


def cmd_outdated(args) -> Outcome:
    installed, broken, warnings = _skills(args)
    standing = _standing(installed, True, True, warnings)
    pairs = [(s, newer, record) for s, (_state, newer, record) in zip(installed, standing)
             if newer.relation in (OLDER, UNORDERABLE)]
    relation_text = {OLDER: _("较旧"), UNORDERABLE: _("无法比较先后")}
    rows = [[s.name, s.version, newer.available, relation_text[newer.relation], s.runtime,
             scope_text(s.scope), _place(s)] for s, newer, _r in pairs]

    def entry(s, newer, record):
        return {**s.as_json(), "available": newer.available,
                "source": None if record is None else record.source}

    document = {"outdated": [entry(*p) for p in pairs if p[1].relation == OLDER],
                "unorderable": [entry(*p) for p in pairs if p[1].relation == UNORDERABLE],
                "broken": [b.as_json() for b in broken]}
    lines = table([_("名称"), _("已安装"), _("可用"), _("比较"), _("运行时"), _("范围"), _("目录")],
                  rows, empty=_("所有已安装的 Skill 都是来源中最新的"))
    unorderable = document["unorderable"]
    if unorderable:
        warnings.append(_("{count} 个 Skill 的版本无法与内置模板比较先后，"
                          "update 不会替换它们（除非给出 --force）").format(count=len(unorderable)))
    return Outcome(EXIT_OK, document, lines, warnings)


# --------------------------------------------------------------------------
# targets and install


def _check_target_scope(args) -> None:
    if args.scope == "all" and args.runtimes:
        raise UsageError(_("--runtime 不能与 --all 同时使用"))
    if args.scope == "global" and ALL_RUNTIMES in (args.runtimes or ()):
        raise UsageError(_("--runtime all 不能与 --global 同时使用（用 --all）"))
    if args.scope and args.cwd:
        raise UsageError(_("--cwd 不能与 --{scope} 同时使用（全局目录与项目无关）").format(
            scope=args.scope))


def detected_runtimes(project: Path) -> list[tuple[str, Path]]:
    """The project-level targets of every AI tool whose directory the
    project has (`.claude`, `.codex`, ...), in the detector's order."""
    det = detector()
    found = []
    for runtime in runtimes():
        _runtime, path = det.detect_install_target(cwd=project, preferred_runtime=runtime)
        if os.path.lexists(Path(path).parent):
            found.append((runtime, Path(path)))
    return found


def _install_targets(args) -> list[tuple[str, Path]]:
    """Where install, remove and targets act: --global (with --runtime, that
    runtime's per-user directory whether or not the tool is detected), --all,
    --runtime, or every AI tool the project has (the detector's choice when
    it has none)."""
    det = detector()
    if args.scope == "global" and args.runtimes:
        every = {str(r): Path(p) for r, p in det.detect_all_install_targets()}
        found = [(r, every[r]) for r in dict.fromkeys(args.runtimes)]
    elif args.scope == "global":
        found = det.detect_global_install_targets()
    elif args.scope == "all":
        found = det.detect_all_install_targets()
    elif args.runtimes:
        found = det.detect_install_targets(cwd=project_dir(args.cwd),
                                          preferred_runtimes=args.runtimes)
    else:
        project = project_dir(args.cwd)
        found = detected_runtimes(project) or det.detect_install_targets(cwd=project)
    return [(str(runtime), Path(path)) for runtime, path in found]


def lock_scope(args):
    """The scope whose lock file records this run: the user's for per-user
    targets, else the project's."""
    from . import locked

    if args.scope or ALL_RUNTIMES in (args.runtimes or ()):
        return locked.user_scope()
    return locked.project_scope(project_dir(args.cwd))


def cmd_targets(args) -> Outcome:
    _check_target_scope(args)
    found = _install_targets(args)
    document = {"targets": [{"runtime": r, "path": str(p)} for r, p in found]}
    return Outcome(EXIT_OK, document, table([_("运行时"), _("Skills 目录")],
                                            [[r, str(p)] for r, p in found],
                                            empty=_("没有检测到安装目标")))


# --------------------------------------------------------------------------
# install, remove and update: what they share


def _lexists(path: Path) -> bool:
    return os.path.lexists(path)


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
        raise OSError(errno.ENOENT, _("未检测到任何安装目标（可用 --runtime 或 --all 指定）"))
    return targets


def _refuse_the_store(entries: list[_Target], what: str) -> None:
    """A skills directory that is the central store (through a link, say)
    holds the copies other projects link to: never act on it as a target."""
    from .store import central_store_dir

    store = resolved(central_store_dir())
    for entry in entries:
        if resolved(entry.skills_dir) == store:
            raise Refused(_("{path} 就是中央存储目录（{store}），其中的副本由其他项目链接共用，"
                            "不能{what}").format(path=entry.skills_dir, store=central_store_dir(),
                                                 what=what))


def _clear_leftovers(directories) -> None:
    """Before a run changes anything: clear what killed runs left in every
    skills directory it touches."""
    from . import staging

    seen = set()
    for directory in directories:
        key = str(resolved(directory))
        if key not in seen:
            seen.add(key)
            staging.clear_leftovers(directory)


def _keeps_backup(skills_dir: Path, name: str) -> bool:
    """Whether replacing skill `name` must keep its old copy: it changed
    since this tool installed it, or nothing tells that it did not."""
    from . import records

    return (_lexists(Path(skills_dir) / name)
            and records.state(skills_dir, name) != records.UNCHANGED)


def _note_created(runs: list[RunDir]) -> None:
    from . import records

    for run in runs:
        records.note_created(run.skills_dir, run.created)


# --------------------------------------------------------------------------
# remove


def _explicit_runtimes(args) -> bool:
    return bool(args.runtimes) and ALL_RUNTIMES not in args.runtimes and not args.scope


def _every_runtime(args) -> bool:
    return args.scope == "all" or ALL_RUNTIMES in (args.runtimes or ())


def cmd_remove(args) -> Outcome:
    from . import locked, records, staging
    from .confirm import confirm
    from .hints import suggest
    from .store import central_store_dir, forget_copy, forget_link, links_to, stored_copy

    _check_target_scope(args)
    name = args.name
    if not single_name(name) or name in (staging.STAGING, records.RECORDS, records.BACKUPS):
        raise UsageError(_("不是 Skill 的名称: {name!r}（只能是一个路径组成部分）").format(
            name=name))
    entries = _targets_for(_require_targets(args), name)
    present = [t for t in entries if _lexists(t.dest)]
    if not present:
        places = join(str(t.skills_dir) for t in entries)
        names = {p.name for t in entries if t.skills_dir.is_dir()
                 for p in t.skills_dir.iterdir() if not p.name.startswith(".")}
        raise CommandError(_("Skill {name} 未安装在任何目标中: {places}{hint}").format(
            name=name, places=places, hint=suggest(name, names)))
    if _explicit_runtimes(args):
        missing = [t for t in entries if not _lexists(t.dest)]
        if missing:
            raise CommandError(_("Skill {name} 未安装在 {runtime} 的目录中: {path}").format(
                name=name, runtime=", ".join(missing[0].runtimes), path=missing[0].skills_dir))
    _refuse_the_store(present, _("从这里删除"))

    store_dir = central_store_dir()
    points_at = [(t, stored_copy(t.dest, store_dir)) for t in present]
    stored = {str(p): p for _, p in points_at if p is not None}
    known = locations(args.cwd, None)
    removing = {os.path.abspath(t.dest) for t in present}

    def orphaned(copy: Path) -> bool:
        return links_to(copy, known) <= removing

    if args.dry_run:
        rows = [[", ".join(t.runtimes), str(t.dest), _("将删除") if t in present else _("未安装")]
                for t in entries]
        drop = [p for p in stored.values() if orphaned(p)]
        rows += [[_("（中央存储）"), str(p), _("将删除（不再有链接指向）")] for p in drop]
        document = {"name": name, "dry_run": True,
                    "plan": [{"runtime": r, "path": str(t.dest),
                              "action": "remove" if t in present else "absent"}
                             for t in entries for r in t.runtimes],
                    "store_removed": [str(p) for p in drop]}
        return Outcome(EXIT_OK, document, table([_("运行时"), _("目录"), _("将要执行")], rows))

    if _every_runtime(args):
        confirm(_("删除 Skill {name}").format(name=name), [str(t.dest) for t in present]
                + [_("{path}（中央存储）").format(path=p) for p in stored.values() if orphaned(p)],
                args.yes)

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
    locked.sync(lock_scope(args), [name])
    emptied = []
    for directory in dict.fromkeys([*(t.skills_dir for t in present),
                                    *(p.parent for p in dropped)]):
        emptied += records.remove_if_empty(directory)

    def result(t: _Target) -> str:
        return "removed" if t in present else "absent"

    text = {"removed": _("已删除"), "absent": _("未安装")}
    rows = [[", ".join(t.runtimes), str(t.dest), text[result(t)]] for t in entries]
    rows += [[_("（中央存储）"), str(p), _("已删除（不再有链接指向）")] for p in dropped]
    rows += [["", str(d), _("已删除（由本工具创建，现已为空）")] for d in emptied]
    document = {"name": name,
                "removed": [{"runtime": r, "path": str(t.dest), "result": result(t)}
                            for t in entries for r in t.runtimes],
                "store_removed": [str(p) for p in dropped],
                "directories_removed": [str(d) for d in emptied]}
    return Outcome(EXIT_OK, document, table([_("运行时"), _("目录"), _("结果")], rows))
