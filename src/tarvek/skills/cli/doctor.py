"""`doctor`: what is wrong with this installation of the skills layer, and
`--fix` for what can safely be cleaned.

It checks the build profile, the templates directory and its manifest, the
installed skills that discovery skips as broken, symbolic links in skills
directories that point nowhere, the leftovers of installs, updates and
removals that were killed, the lock files of the project and of the user
against what is installed, and every installed skill against its install
record (edited since) and its source (something newer; remote sources
only with `--remote`).  `--fix` deletes only leftovers that this tool can
prove it made (`staging.find_leftovers`); directories that merely look
like leftovers are noted, for the person to look at, and never touched.
Edited and outdated skills, and lock entries not installed, are notes: the
person decides.

A templates directory that carries a build record (every built artifact
does) is judged against the profile and artifact it was built for: the
skills that build left out are no problem, one it admitted but that is
missing is, and so is one it did not admit.  Without a record the profile
is unknown and the directory is checked as a source tree."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

from . import model
from .common import EXIT_FAILURE, EXIT_OK, CommandError, ManifestError, packaging
from .i18n import N_, _, join
from .manifest import known_profiles, reading_manifest
from .options import cwd_option, skills_dir_option, templates_option
from .output import Outcome, os_error_message, table
from .recorded import DECLARED_WITHOUT_DIRECTORY, describe, judge, read

CHECK_TEXT = {
    "profile": N_("构建 profile"),
    "templates": N_("模板目录"),
    "broken": N_("损坏的 Skill"),
    "dangling-link": N_("悬空链接"),
    "leftover": N_("中断遗留"),
    "stranger": N_("疑似遗留"),
    "lock": N_("锁文件"),
    "edited": N_("已修改"),
    "outdated": N_("可更新"),
}

# A note is shown but is no problem: it does not fail the check.
PROBLEM, NOTE = "problem", "note"
_STRANGER_TEXT = {
    "legacy-name": N_("名字像旧版本中断安装留下的副本，但无法证明是本工具创建的，"
                      "不会自动删除；确认不是你的文件后可手动删除"),
    "unproven-staging": N_("在暂存目录中但没有本工具写下的标记，不会自动删除；"
                           "确认无用后可手动删除"),
}


def doctor_options(sub) -> None:
    sub.epilog = _("退出状态：0 未发现问题；1 发现问题（--fix 已清理的和“注意”不算）。\n"
                   "--fix 只清理中断的安装、更新或删除留下的、带有本工具标记的暂存目录\n"
                   "（恢复被挪开的旧副本）；只是名字像遗留的目录只报告，从不删除。\n"
                   "已修改或可更新的 Skill、锁文件中尚未安装的 Skill 是“注意”，不算问题；\n"
                   "--remote 还会询问 git 仓库和 URL 来源是否有更新（需要网络）。")
    sub.options.add_argument("--fix", action="store_true", help=_("清理中断安装的遗留"))
    sub.options.add_argument("--remote", action="store_true",
                             help=_("也询问 git 仓库和 URL 来源是否有更新的修订"))
    templates_option(sub, what=_("要检查的模板目录"))
    skills_dir_option(sub, _("额外扫描的 Skills 目录"))
    cwd_option(sub)


@dataclass
class Finding:
    check: str
    message: str
    path: str | None = None
    fixed: bool = False
    severity: str = PROBLEM

    def as_json(self) -> dict[str, object]:
        return {"check": self.check, "message": self.message, "path": self.path,
                "fixed": self.fixed, "severity": self.severity}


@dataclass
class _Report:
    findings: list[Finding] = field(default_factory=list)

    def add(self, check: str, message: str, path: object = None, fixed: bool = False,
            severity: str = PROBLEM) -> None:
        self.findings.append(Finding(check, message, None if path is None else str(path), fixed,
                                     severity))


def _check_profile(report: _Report) -> str | None:
    """The build profile in the environment, if one is set: a profile that
    no build knows is a problem for the next build."""
    pkg = packaging()
    if not os.environ.get(pkg.PROFILE_ENV, "").strip():
        return None
    profile = pkg.current_profile()
    known = known_profiles()
    if profile not in known:
        report.add("profile", _("未知的构建 profile {profile!r}（来自环境变量 {variable}；"
                                "可用: {choices}）").format(profile=profile,
                                                           variable=pkg.PROFILE_ENV,
                                                           choices=join(known)))
    return profile


def _check_templates(report: _Report, given: Path | None):
    """(templates directory, its build record or None)."""
    pkg = packaging()
    root = Path(given) if given else Path(pkg.get_builtin_templates_dir())
    if not root.is_dir():
        message = _("模板目录不是目录: {path}") if root.exists() else _("模板目录不存在: {path}")
        report.add("templates", message.format(path=root), root)
        return root, None
    try:
        record = read(root)
    except ManifestError as exc:
        report.add("templates", str(exc), root)
        record = None
    try:
        with reading_manifest(given):
            problems = list(pkg.validate_release_manifest(given))
            judgement = (judge(root, root, record.profile, record.artifact)
                         if record is not None else None)
    except ManifestError as exc:
        report.add("templates", _("发版清单无法使用: {reason}").format(reason=exc),
                   root / pkg.MANIFEST_FILENAME)
    except OSError as exc:
        report.add("templates", _("发版清单无法读取: {reason}").format(
            reason=os_error_message(exc)), root / pkg.MANIFEST_FILENAME)
    else:
        if judgement is not None:
            # Left out by the build that made this tree: no problem.
            left_out = {DECLARED_WITHOUT_DIRECTORY + n for n in judgement.declared
                        if n not in judgement.admitted}
            problems = [p for p in problems if p not in left_out]
            problems += [_("构建记录的 profile {profile}（产物类型 {artifact}）不准入的 Skill "
                           "在模板目录中: {name}").format(profile=record.profile,
                                                      artifact=record.artifact, name=n)
                         for n in judgement.not_admitted]
        for problem in problems:
            report.add("templates", _("发版清单: {problem}").format(problem=problem), root)
    return root, record


def _dangling_links(directory: Path) -> list[Path]:
    try:
        entries = list(os.scandir(directory))
    except (FileNotFoundError, NotADirectoryError):
        return []
    return sorted(Path(entry.path) for entry in entries
                  if entry.is_symlink() and not os.path.exists(entry.path))


def _check_drift(report: _Report, installed: list, remote: bool) -> list[str]:
    """Notes for every skill edited since it was installed and every one
    whose source has something newer; the warnings of sources that could
    not be asked."""
    from .installed import _standing

    warnings: list[str] = []
    for skill, (state, newer, _record) in zip(installed,
                                              _standing(installed, remote, True, warnings)):
        where = f"{skill.runtime}, {model.scope_text(skill.scope)}"
        if state == "edited":
            report.add("edited", _("{name}（{where}）的内容与安装记录的摘要不同：安装后被修改过；"
                                   "update 不会覆盖它（除非 --force）").format(
                name=skill.name, where=where), skill.root, severity=NOTE)
        if newer.relation == model.OLDER:
            report.add("outdated", _("{name}（{where}）的来源有更新的版本 {version}"
                                     "（tarvek-skills update {name}）").format(
                name=skill.name, where=where, version=newer.available), skill.root,
                severity=NOTE)
    return warnings


def _check_locks(report: _Report, cwd: Path | None, installed: list) -> None:
    """Each lock file (the project's, the user's) against the skills
    installed in its scope: an entry not installed is a note (`install`
    with no SOURCE installs it), one installed with other content is a
    note too; a lock file that cannot be read is a problem."""
    from . import locked, lockfile

    scopes = [locked.project_scope(model.project_dir(cwd)), locked.user_scope()]
    for scope in scopes:
        try:
            entries = lockfile.read(scope.lock)
        except CommandError as exc:
            report.add("lock", str(exc), scope.lock)
            continue
        directories = scope.directories()
        for name, entry in sorted(entries.items()):
            for runtime in entry.targets:
                directory = directories.get(runtime)
                if directory is None:
                    report.add("lock", _("锁文件中 {name} 的目标运行时未知: {runtime}").format(
                        name=name, runtime=runtime), scope.lock)
                    continue
                record = locked.authoritative(directory, name)
                if not os.path.lexists(directory / name):
                    report.add("lock", _("锁文件中的 {name} 没有安装在 {runtime} 的目录中"
                                         "（tarvek-skills install 按锁文件安装）").format(
                        name=name, runtime=runtime), directory / name, severity=NOTE)
                elif record is None or record.digest != entry.digest:
                    report.add("lock", _("{runtime} 的目录中的 {name} 与锁文件记录的内容不同"
                                         ).format(name=name, runtime=runtime),
                               directory / name, severity=NOTE)


def cmd_doctor(args) -> Outcome:
    from . import staging

    report = _Report()
    environment_profile = _check_profile(report)
    templates, record = _check_templates(report, args.templates)

    locations = model.locations(args.cwd, args.skills_dir)
    installed, broken = model.scan(locations)
    for item in broken:
        report.add("broken", _("{name}（{runtime}，{scope}）的 VERSION.json 无法读取，"
                               "list 不显示它: {reason}").format(
            name=item.name, runtime=item.runtime, scope=model.scope_text(item.scope),
            reason=item.reason), item.version_file)

    store = Path(packaging().get_central_skills_dir())
    directories = [location.path for location in locations] + [store]
    for directory in directories:
        for link in _dangling_links(directory):
            report.add("dangling-link", _("链接指向不存在的目标 {target}").format(
                target=os.readlink(link)), link)
    for directory in directories:
        for leftover in staging.find_leftovers(directory):
            fixed = False
            if args.fix:
                staging.clear_leftover(leftover)
                fixed = True
            restores = ""
            if leftover.restores:
                restores = (_("，已恢复 {path}") if fixed else _("，将恢复 {path}")).format(
                    path=leftover.restores)
            verb = _("已清理") if fixed else _("可用 --fix 清理")
            report.add("leftover", _("中断的安装留下的暂存目录（{verb}{restores}）").format(
                verb=verb, restores=restores), leftover.path, fixed)
        for stranger in staging.find_strangers(directory):
            report.add("stranger", _(_STRANGER_TEXT[stranger.reason]), stranger.path,
                       severity=NOTE)
    warnings = _check_drift(report, installed, args.remote)
    _check_locks(report, args.cwd, installed)

    open_findings = [f for f in report.findings if not f.fixed and f.severity == PROBLEM]
    status_text = {PROBLEM: _("问题"), NOTE: _("注意")}
    rows = [[_(CHECK_TEXT[f.check]), _("已修复") if f.fixed else status_text[f.severity],
             f.message + (f": {f.path}" if f.path and f.path not in f.message else "")]
            for f in report.findings]
    lines = [_("构建 profile: {profile}").format(profile=describe(record)),
             _("模板目录: {path}").format(path=templates)]
    if environment_profile is not None:
        lines.append(_("环境变量 {variable}: {profile}（用于下一次构建）").format(
            variable=packaging().PROFILE_ENV, profile=environment_profile))
    if rows:
        lines += [""] + table([_("检查"), _("状态"), _("说明")], rows)
    lines.append("")
    lines.append(_("结论: 发现 {count} 个问题").format(count=len(open_findings)) if open_findings
                 else _("结论: 未发现问题"))
    document = {"profile": record.profile if record else None,
                "artifact": record.artifact if record else None,
                "record": record.as_json() if record else None,
                "environment_profile": environment_profile,
                "templates_dir": str(templates), "ok": not open_findings,
                "findings": [f.as_json() for f in report.findings]}
    return Outcome(EXIT_FAILURE if open_findings else EXIT_OK, document, lines, warnings)
