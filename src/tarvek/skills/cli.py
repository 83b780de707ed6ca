"""The `tarvek-skills` command: the skills layer for a person at a terminal.

Every subcommand is a thin layer over the public functions of
`tarvek.skills.packaging` and `tarvek.skills.discovery.detector`: the modules
decide, this file only parses the command line, calls them and formats what
they return (aligned columns with a header, or one JSON document with
`--json`).  The one command that writes outside a tree it was given,
`install`, copies into a temporary directory beside the destination and
renames it into place, so that a failed or interrupted copy leaves nothing
half-installed behind.

Exit status: 0 on success; 1 for file-system errors (the path is named), for
problems found by `validate` and for other failures; 2 for wrong usage and for
errors of the release manifest or of a build profile; 130 when interrupted.
Errors are one line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import re
import shutil
import sys
import tempfile
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

PROG = "tarvek-skills"
DISTRIBUTION = "tarvek-skills"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The profiles that admit every skill directory without reading the manifest;
# used only to list, in a dry run, what `prune_templates_dir` would keep.
_ADMIT_ALL_PROFILES = ("dev", "internal")

# What `install` leaves out of a copied template: bytecode and its cache
# directories, and Finder metadata, the same junk the packager leaves out.
_INSTALL_IGNORE = ("__pycache__", "*.pyc", "*.pyo", ".DS_Store")


class UsageError(Exception):
    """A request that the command refuses before doing anything (exit 2)."""


# --------------------------------------------------------------------------
# Output


@dataclass
class Outcome:
    """What a subcommand hands back: exit status, JSON document, text lines."""

    status: int
    document: dict[str, Any]
    lines: list[str] = field(default_factory=list)


def _printable(text: str) -> str:
    """Escape control and unpaired surrogate characters, so that a file name
    holding a line break cannot forge an output line."""
    out = []
    for ch in text:
        if unicodedata.category(ch) in ("Cc", "Cs"):
            code = ord(ch)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def _width(text: str) -> int:
    """Display width in a terminal: wide (CJK) characters take two columns."""
    total = 0
    for ch in text:
        if unicodedata.combining(ch):
            continue
        total += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return total


def table(headers: list[str], rows: list[list[str]]) -> list[str]:
    """Aligned columns under a header line; the last column is not padded."""
    cells = [[_printable(str(c)) for c in row] for row in [headers, *rows]]
    widths = [max(_width(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        padded = [c + " " * (widths[i] - _width(c)) for i, c in enumerate(row[:-1])]
        lines.append("  ".join([*padded, row[-1]]).rstrip())
    return lines


def _emit(outcome: Outcome, as_json: bool) -> None:
    if as_json:
        encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("-", "")
        text = json.dumps(outcome.document, ensure_ascii=encoding != "utf8", indent=2)
        sys.stdout.write(text + "\n")
    else:
        for line in outcome.lines:
            sys.stdout.write(line + "\n")
    sys.stdout.flush()


def _error(message: str) -> None:
    sys.stderr.write(f"{PROG}: 错误: {_printable(message)}\n")
    sys.stderr.flush()


# --------------------------------------------------------------------------
# Error messages

_ERRNO_TEXT = {
    errno.ENOENT: "文件或目录不存在",
    errno.EACCES: "权限不足",
    errno.EPERM: "操作不被允许",
    errno.ENOTDIR: "不是目录",
    errno.EISDIR: "是一个目录",
    errno.EEXIST: "已存在",
    errno.ENOTEMPTY: "目录非空",
    errno.ENOSPC: "磁盘空间不足",
    errno.EROFS: "只读文件系统",
    errno.ELOOP: "符号链接层数过多",
    errno.ENAMETOOLONG: "文件名过长",
}


def _os_error_message(exc: OSError) -> str:
    if isinstance(exc, shutil.Error) and exc.args and isinstance(exc.args[0], list):
        # copytree goes on after a failed file and reports them all at the end.
        failures = [f for f in exc.args[0] if isinstance(f, tuple) and len(f) == 3]
        if failures:
            _, destination, reason = failures[0]
            more = f"（另有 {len(failures) - 1} 处失败）" if len(failures) > 1 else ""
            return f"复制失败: {reason}: {os.fsdecode(destination)}{more}"
    reason = exc.strerror or ""
    if exc.errno in _ERRNO_TEXT and reason == os.strerror(exc.errno):
        reason = _ERRNO_TEXT[exc.errno]
    if not reason:
        reason = str(exc) or type(exc).__name__
    if exc.filename is None:
        return reason
    message = f"{reason}: {os.fsdecode(exc.filename)}"
    if exc.filename2 is not None:
        message += f" -> {os.fsdecode(exc.filename2)}"
    return message


# argparse's own messages, in the language of the rest of the command.
_ARGPARSE_MESSAGES = [
    (re.compile(r"the following arguments are required: (.*)", re.S), "缺少必需参数: {0}"),
    (re.compile(r"unrecognized arguments: (.*)", re.S), "无法识别的参数: {0}"),
    (re.compile(r"one of the arguments (.*) is required", re.S), "必须给出以下参数之一: {0}"),
    (re.compile(r"expected one argument", re.S), "需要一个值"),
    (re.compile(r"expected at least one argument", re.S), "至少需要一个值"),
    (re.compile(r"not allowed with argument (.*)", re.S), "不能与参数 {0} 同时使用"),
    (re.compile(r"ignored explicit argument (.*)", re.S), "不接受取值 {0}"),
    (re.compile(r"invalid choice: (.*) \(choose from (.*)\)", re.S), "无效的选择: {0}（可选: {1}）"),
    (re.compile(r"ambiguous option: (.*) could match (.*)", re.S), "有歧义的选项: {0} 可匹配 {1}"),
]
_ARGUMENT_PREFIX = re.compile(r"argument (.+?): (.*)", re.S)


def _translate_usage_message(message: str) -> str:
    prefix = ""
    match = _ARGUMENT_PREFIX.fullmatch(message)
    if match:
        prefix, message = f"参数 {match.group(1)}: ", match.group(2)
    for pattern, text in _ARGPARSE_MESSAGES:
        found = pattern.fullmatch(message)
        if found:
            return prefix + text.format(*found.groups())
    return prefix + message


# --------------------------------------------------------------------------
# Command line


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def add_usage(self, usage, actions, groups, prefix=None):
        super().add_usage(usage, actions, groups, prefix="用法: " if prefix is None else prefix)


class _Parser(argparse.ArgumentParser):
    """argparse with Chinese messages and one error line instead of the usage."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("formatter_class", _Formatter)
        kwargs.setdefault("add_help", False)
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)
        self.positionals = self.add_argument_group("位置参数")
        self.options = self.add_argument_group("选项")
        self.options.add_argument("-h", "--help", action="help", help="显示本帮助并退出")

    def error(self, message):
        _error(f"{_translate_usage_message(message)}（见 {self.prog} --help）")
        self.exit(EXIT_USAGE)


class _VersionAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib import metadata

        try:
            version = metadata.version(DISTRIBUTION)
        except metadata.PackageNotFoundError:
            version = "未知（未安装）"
        sys.stdout.write(f"{PROG} {version}\n")
        sys.stdout.flush()
        parser.exit(EXIT_OK)


def _path_arg(value: str) -> Path:
    if not value:
        raise argparse.ArgumentTypeError("路径不能为空")
    return Path(value)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="tarvek 的 Skills 层：发版准入、模板修剪、已安装 Skill 与安装目标。",
        epilog="每个子命令都支持 --help 与 --json（输出一个 JSON 文档）。\n"
        "退出状态：0 成功；1 文件系统错误或其他失败；2 用法错误或发版清单错误；130 被中断。",
    )
    parser.options.add_argument("--version", action=_VersionAction, help="显示版本并退出")
    commands = parser.add_subparsers(title="子命令", dest="command", metavar="<子命令>",
                                     required=True, parser_class=_Parser)

    def command(name: str, summary: str, handler: Callable, epilog: str | None = None):
        sub = commands.add_parser(name, help=summary, description=summary, epilog=epilog)
        sub.options.add_argument("--json", action="store_true",
                                 help="输出一个 JSON 文档（供脚本使用）")
        sub.set_defaults(handler=handler)
        return sub

    def templates_option(sub, flag="--templates", dest="templates", what="模板目录"):
        sub.options.add_argument(flag, dest=dest, metavar="DIR", type=_path_arg,
                                 help=f"{what}（默认：内置模板目录）")

    def profile_option(sub, default_text="环境变量 TARVEK_SKILL_PROFILE，未设置时为 dev"):
        sub.options.add_argument("--profile", metavar="P",
                                 help=f"构建 profile（默认：{default_text}）")

    def artifact_option(sub):
        sub.options.add_argument("--artifact", metavar="A", required=True,
                                 help="产物类型：sdist、wheel 或 binary（必需）")

    def target_options(sub):
        sub.options.add_argument("--runtime", metavar="R", action="append", dest="runtimes",
                                 help="运行时（claude、openclaw、codex、opencode、workbuddy、"
                                 "trae-cn，或 all），可重复；默认按项目目录推断")
        scope = sub.options.add_mutually_exclusive_group()
        scope.add_argument("--global", dest="scope", action="store_const", const="global",
                           help="本机已安装的 AI 工具的全局（用户级）目录")
        scope.add_argument("--all", dest="scope", action="store_const", const="all",
                           help="全部运行时的全局目录，不做检测")
        sub.options.add_argument("--cwd", metavar="DIR", type=_path_arg,
                                 help="项目目录（默认：当前目录）")

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
    sub.positionals.add_argument("target", metavar="TARGET", type=_path_arg,
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

    sub = command("list", "列出已安装的 Skill：名称、版本、运行时和目录。", cmd_list)
    sub.options.add_argument("--skills-dir", metavar="DIR",
                             help="额外扫描的 Skills 目录（最先扫描）")
    sub.options.add_argument("--cwd", metavar="DIR", type=_path_arg,
                             help="项目目录（默认：当前目录）")

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
    return parser


# --------------------------------------------------------------------------
# Module access


def _packaging():
    from tarvek.skills import packaging

    return packaging


def _detector():
    from tarvek.skills.discovery.detector import SkillDetector

    return SkillDetector()


def _manifest_error_type() -> type | None:
    try:
        return _packaging().SkillReleaseManifestError
    except Exception:  # the module itself failed to load: no such errors then
        return None


# --------------------------------------------------------------------------
# Subcommands


def cmd_locations(args) -> Outcome:
    packaging = _packaging()
    central = packaging.get_central_skills_dir()
    templates = packaging.get_builtin_templates_dir()
    profile = packaging.current_profile()
    rows = [["中央 Skills 目录", str(central)], ["内置模板目录", str(templates)],
            ["当前构建 profile", profile]]
    document = {"central_skills_dir": str(central), "builtin_templates_dir": str(templates),
                "profile": profile}
    return Outcome(EXIT_OK, document, table(["位置", "值"], rows))


def _templates_root(given: Path | None) -> Path:
    """The templates directory to name in the output: the one given, else the
    built-in one (the modules fall back to the same function)."""
    return given if given else _packaging().get_builtin_templates_dir()


def cmd_validate(args) -> Outcome:
    packaging = _packaging()
    problems = list(packaging.validate_release_manifest(args.templates))
    document = {"templates_dir": str(_templates_root(args.templates)), "problems": problems}
    lines = table(["问题"], [[p] for p in problems]) if problems else ["未发现问题"]
    return Outcome(EXIT_FAILURE if problems else EXIT_OK, document, lines)


def cmd_select(args) -> Outcome:
    packaging = _packaging()
    names = list(packaging.selected_skill_names(
        profile=args.profile, artifact=args.artifact, templates_dir=args.templates))
    document = {"profile": args.profile or packaging.current_profile(),
                "artifact": args.artifact,
                "templates_dir": str(_templates_root(args.templates)), "skills": names}
    return Outcome(EXIT_OK, document, table(["Skill"], [[n] for n in names]))


def _resolved(path: Path) -> Path:
    return Path(os.path.normcase(path.resolve()))


def _overlaps(a: Path, b: Path) -> bool:
    """Whether a and b are the same directory or one lies inside the other."""
    return a == b or a in b.parents or b in a.parents


def _refuse_protected_target(target: Path, manifest_dir: Path | None) -> None:
    packaging = _packaging()
    own = Path(packaging.__file__).resolve().parent / "templates"
    resolved = _resolved(target)
    if _overlaps(resolved, _resolved(own)):
        raise UsageError(
            f"拒绝修剪已安装包自带的模板目录（会破坏安装），修剪只用于副本: {target}")
    source = manifest_dir if manifest_dir else packaging.get_builtin_templates_dir()
    if _overlaps(resolved, _resolved(source)):
        raise UsageError(
            f"拒绝修剪提供发版清单的模板目录 {source}，修剪只用于副本: {target}")


def _require_directory(path: Path, what: str) -> None:
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, f"{what}不存在", str(path))
    if not path.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, f"{what}不是目录", str(path))


def cmd_prune(args) -> Outcome:
    packaging = _packaging()
    target: Path = args.target
    _refuse_protected_target(target, args.manifest_templates)
    _require_directory(target, "要修剪的模板目录")
    document: dict[str, Any] = {"target": str(target), "artifact": args.artifact,
                                "dry_run": args.dry_run}
    if not args.dry_run:
        kept = list(packaging.prune_templates_dir(
            target, profile=args.profile, artifact=args.artifact,
            manifest_templates_dir=args.manifest_templates))
        document["kept"] = kept
        return Outcome(EXIT_OK, document, table(["保留的 Skill"], [[n] for n in kept]))

    # What prune_templates_dir would do, without touching the tree: under the
    # profiles that admit everything it keeps every skill directory; otherwise
    # it deletes the directories whose names the manifest does not admit.
    profile = args.profile or packaging.current_profile()
    # __pycache__ directories go as packaging junk, which this listing leaves out.
    present = [p.name for p in packaging.list_template_dirs(target) if p.name != "__pycache__"]
    if profile in _ADMIT_ALL_PROFILES:
        kept, doomed = present, []
    else:
        admitted = set(packaging.selected_skill_names(
            profile=profile, artifact=args.artifact, templates_dir=args.manifest_templates))
        doomed = [n for n in present if n not in admitted]
        kept = sorted(n for n in admitted if (target / n).exists())
    document.update(profile=profile, kept=kept, would_delete=doomed)
    return Outcome(EXIT_OK, document, table(["将删除的 Skill"], [[n] for n in doomed]))


def cmd_datas(args) -> Outcome:
    packaging = _packaging()
    pairs = [(str(s), str(d)) for s, d in packaging.collect_skill_datas(
        profile=args.profile, templates_dir=args.templates)]
    document = {"templates_dir": str(_templates_root(args.templates)),
                "datas": [list(p) for p in pairs]}
    return Outcome(EXIT_OK, document, table(["源文件", "目标目录"], [list(p) for p in pairs]))


def cmd_list(args) -> Outcome:
    records = list(_detector().discover(skills_dir=args.skills_dir, cwd=args.cwd))
    skills = [{"name": str(r.name), "version": str(r.version), "runtime": str(r.runtime),
               "root": str(r.root), "version_file": str(r.version_file)} for r in records]
    rows = [[s["name"], s["version"], s["runtime"], s["root"]] for s in skills]
    return Outcome(EXIT_OK, {"skills": skills}, table(["名称", "版本", "运行时", "目录"], rows))


def _check_target_scope(args) -> None:
    if args.scope and args.runtimes:
        raise UsageError(f"--runtime 不能与 --{args.scope} 同时使用")
    if args.scope and args.cwd:
        raise UsageError(f"--cwd 不能与 --{args.scope} 同时使用（全局目录与项目无关）")


def _install_targets(args) -> list[tuple[str, Path]]:
    detector = _detector()
    if args.scope == "global":
        found = detector.detect_global_install_targets()
    elif args.scope == "all":
        found = detector.detect_all_install_targets()
    else:
        found = detector.detect_install_targets(cwd=args.cwd, preferred_runtimes=args.runtimes)
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
    templates = list(_packaging().list_template_dirs())
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
        key = str(_resolved(dest))
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


# --------------------------------------------------------------------------
# Entry point


def _harden_streams() -> None:
    """Never fail on a character the terminal's encoding cannot show."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError, OSError):
            pass


def _exit_status(code: object) -> int:
    if code is None:
        return EXIT_OK
    if isinstance(code, int):
        return code
    return EXIT_FAILURE


def main(argv: list[str] | None = None) -> int:
    """Run the command with `argv` (default: the process arguments) and
    return its exit status."""
    _harden_streams()
    try:
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:  # --help, --version, or a usage error already reported
            return _exit_status(exc.code)
        outcome = args.handler(args)
        _emit(outcome, args.json)
        return outcome.status
    except KeyboardInterrupt:
        _error("已中断")
        return EXIT_INTERRUPTED
    except UsageError as exc:
        _error(str(exc))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (for example `| head`): nothing more to say.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return EXIT_FAILURE
    except OSError as exc:
        _error(_os_error_message(exc))
        return EXIT_FAILURE
    except Exception as exc:
        manifest_error = _manifest_error_type()
        if manifest_error is not None and isinstance(exc, manifest_error):
            _error(str(exc))
            return EXIT_USAGE
        if isinstance(exc, NotImplementedError):
            _error(f"该功能尚不可用: {exc}")
        else:
            _error(f"{type(exc).__name__}: {exc}")
        return EXIT_FAILURE
