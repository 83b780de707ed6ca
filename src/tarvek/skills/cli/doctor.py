"""`doctor`: what is wrong with this installation of the skills layer, and
`--fix` for what can safely be cleaned.

It checks the build profile, the templates directory and its manifest, the
installed skills that discovery skips as broken, symbolic links in skills
directories that point nowhere, and the leftovers of installs, updates and
removals that were killed.  `--fix` deletes only leftovers that this tool
can prove it made (`staging.find_leftovers`); directories that merely look
like leftovers are noted, for the person to look at, and never touched.

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
from .common import EXIT_FAILURE, EXIT_OK, ManifestError, packaging
from .manifest import known_profiles, reading_manifest
from .options import cwd_option, skills_dir_option, templates_option
from .output import Outcome, os_error_message, table
from .recorded import DECLARED_WITHOUT_DIRECTORY, describe, judge, read

CHECK_TEXT = {
    "profile": "构建 profile",
    "templates": "模板目录",
    "broken": "损坏的 Skill",
    "dangling-link": "悬空链接",
    "leftover": "中断遗留",
    "stranger": "疑似遗留",
}

# A note is shown but is no problem: it does not fail the check.
PROBLEM, NOTE = "problem", "note"
_STRANGER_TEXT = {
    "legacy-name": "名字像旧版本中断安装留下的副本，但无法证明是本工具创建的，"
                   "不会自动删除；确认不是你的文件后可手动删除",
    "unproven-staging": "在暂存目录中但没有本工具写下的标记，不会自动删除；"
                        "确认无用后可手动删除",
}


def doctor_options(sub) -> None:
    sub.epilog = ("退出状态：0 未发现问题；1 发现问题（--fix 已清理的和“注意”不算）。\n"
                  "--fix 只清理中断的安装、更新或删除留下的、带有本工具标记的暂存目录\n"
                  "（恢复被挪开的旧副本）；只是名字像遗留的目录只报告，从不删除。")
    sub.options.add_argument("--fix", action="store_true", help="清理中断安装的遗留")
    templates_option(sub, what="要检查的模板目录")
    skills_dir_option(sub, "额外扫描的 Skills 目录")
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
        source = pkg.PROFILE_ENV
        report.add("profile", f"未知的构建 profile {profile!r}（来自环境变量 {source}；"
                   f"可用: {'、'.join(known)}）")
    return profile


def _check_templates(report: _Report, given: Path | None):
    """(templates directory, its build record or None)."""
    pkg = packaging()
    root = Path(given) if given else Path(pkg.get_builtin_templates_dir())
    if not root.is_dir():
        what = "不是目录" if root.exists() else "不存在"
        report.add("templates", f"模板目录{what}: {root}", root)
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
        report.add("templates", f"发版清单无法使用: {exc}", root / pkg.MANIFEST_FILENAME)
    except OSError as exc:
        report.add("templates", f"发版清单无法读取: {os_error_message(exc)}",
                   root / pkg.MANIFEST_FILENAME)
    else:
        if judgement is not None:
            # Left out by the build that made this tree: no problem.
            left_out = {DECLARED_WITHOUT_DIRECTORY + n for n in judgement.declared
                        if n not in judgement.admitted}
            problems = [p for p in problems if p not in left_out]
            problems += [f"构建记录的 profile {record.profile}（产物类型 {record.artifact}）"
                         f"不准入的 Skill 在模板目录中: {n}" for n in judgement.not_admitted]
        for problem in problems:
            report.add("templates", f"发版清单: {problem}", root)
    return root, record


def _dangling_links(directory: Path) -> list[Path]:
    try:
        entries = list(os.scandir(directory))
    except (FileNotFoundError, NotADirectoryError):
        return []
    return sorted(Path(entry.path) for entry in entries
                  if entry.is_symlink() and not os.path.exists(entry.path))


def cmd_doctor(args) -> Outcome:
    from . import staging

    report = _Report()
    environment_profile = _check_profile(report)
    templates, record = _check_templates(report, args.templates)

    locations = model.locations(args.cwd, args.skills_dir)
    _, broken = model.scan(locations)
    for item in broken:
        report.add("broken", f"{item.name}（{item.runtime}，{model.SCOPE_TEXT[item.scope]}）"
                   f"的 VERSION.json 无法读取，list 不显示它: {item.reason}", item.version_file)

    store = Path(packaging().get_central_skills_dir())
    directories = [location.path for location in locations] + [store]
    for directory in directories:
        for link in _dangling_links(directory):
            report.add("dangling-link", f"链接指向不存在的目标 {os.readlink(link)}", link)
    for directory in directories:
        for leftover in staging.find_leftovers(directory):
            fixed = False
            if args.fix:
                staging.clear_leftover(leftover)
                fixed = True
            restores = (f"，将恢复 {leftover.restores}" if leftover.restores and not fixed
                        else f"，已恢复 {leftover.restores}" if leftover.restores else "")
            verb = "已清理" if fixed else "可用 --fix 清理"
            report.add("leftover", f"中断的安装留下的暂存目录（{verb}{restores}）",
                       leftover.path, fixed)
        for stranger in staging.find_strangers(directory):
            report.add("stranger", _STRANGER_TEXT[stranger.reason], stranger.path,
                       severity=NOTE)

    open_findings = [f for f in report.findings if not f.fixed and f.severity == PROBLEM]
    status_text = {PROBLEM: "问题", NOTE: "注意"}
    rows = [[CHECK_TEXT[f.check], "已修复" if f.fixed else status_text[f.severity], f.message + (
        f": {f.path}" if f.path and f.path not in f.message else "")] for f in report.findings]
    lines = [f"构建 profile: {describe(record)}", f"模板目录: {templates}"]
    if environment_profile is not None:
        lines.append(f"环境变量 {packaging().PROFILE_ENV}: {environment_profile}（用于下一次构建）")
    if rows:
        lines += [""] + table(["检查", "状态", "说明"], rows)
    lines.append("")
    lines.append(f"结论: 发现 {len(open_findings)} 个问题" if open_findings else "结论: 未发现问题")
    document = {"profile": record.profile if record else None,
                "artifact": record.artifact if record else None,
                "record": record.as_json() if record else None,
                "environment_profile": environment_profile,
                "templates_dir": str(templates), "ok": not open_findings,
                "findings": [f.as_json() for f in report.findings]}
    return Outcome(EXIT_FAILURE if open_findings else EXIT_OK, document, lines)
