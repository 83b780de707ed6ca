"""`info` and `search`: what a skill is and where it is, before or after
installing it."""

from __future__ import annotations

from . import drift
from .common import EXIT_OK, CommandError
from .i18n import _
from .model import locations, scan, scope_text
from .options import completes, cwd_option
from .output import Outcome, table
from .hints import suggest
from .sources import Fetcher, builtin_templates, parse


def info_options(sub) -> None:
    sub.epilog = _("NAME 可以是已安装的 Skill 或内置模板；--from 给出来源时在来源中查找。")
    completes(sub.positionals.add_argument("name", metavar="NAME", help=_("Skill 的名称")),
              "skills")
    completes(sub.options.add_argument("--from", dest="source", metavar="SOURCE",
                                       help=_("在这个来源中查找（目录、归档、URL 或 git 仓库）")),
              "sources")
    cwd_option(sub)


def search_options(sub) -> None:
    sub.epilog = _("在名称和说明中查找 TEXT（不区分大小写）；不给 TEXT 时列出全部。\n"
                   "默认只查内置模板；--from 可重复，加入这些来源中的 Skill。")
    sub.positionals.add_argument("text", metavar="TEXT", nargs="?", default="",
                                 help=_("要查找的文字"))
    completes(sub.options.add_argument("--from", dest="sources", metavar="SOURCE",
                                       action="append", default=[],
                                       help=_("也在这个来源中查找，可重复")), "sources")


def _available(fetcher: Fetcher, sources: list[str]):
    """Every skill of the built-in templates and of `sources`, fetched."""
    from .sources import BUILTIN_PREFIX

    found = []
    for name in sorted(builtin_templates()):
        found += fetcher.fetch(parse(BUILTIN_PREFIX + name))
    for text in sources:
        found += fetcher.fetch(parse(text))
    return found


def cmd_search(args) -> Outcome:
    needle = args.text.casefold()
    with Fetcher() as fetcher:
        hits = [f for f in _available(fetcher, args.sources)
                if needle in f.name.casefold() or needle in f.info.description.casefold()]
    rows = [[f.name, f.info.version, f.source.spec, _first_sentence(f.info.description)]
            for f in hits]
    document = {"text": args.text, "skills": [
        {"name": f.name, "version": f.info.version or None, "source": f.source.spec,
         "path": f.subpath, "description": f.info.description} for f in hits]}
    return Outcome(EXIT_OK, document, table([_("名称"), _("版本"), _("来源"), _("说明")], rows,
                                            empty=_("没有找到匹配的 Skill")))


def _first_sentence(text: str, limit: int = 60) -> str:
    line = " ".join(text.split())
    for stop in (". ", "。"):
        at = line.find(stop)
        if 0 <= at < limit:
            return line[:at + len(stop)].strip()
    return line if len(line) <= limit else line[:limit - 1] + "…"


def cmd_info(args) -> Outcome:
    installed, _broken = scan(locations(args.cwd))
    mine = [s for s in installed if s.name == args.name]
    with Fetcher() as fetcher:
        candidates = _available(fetcher, [args.source] if args.source else [])
        offered = [f for f in candidates if f.name == args.name
                   and (args.source is None or f.source.spec != f"builtin:{f.name}")]
        if not mine and not offered:
            names = {f.name for f in candidates} | {s.name for s in installed}
            raise CommandError(_("没有名为 {name} 的 Skill（已安装的和内置模板中都没有）{hint}"
                                 ).format(name=args.name, hint=suggest(args.name, names)))
        description = version = source = revision = None
        places = []
        for skill in mine:
            record = drift.record_of(skill)
            state = drift.local_state(skill)
            about = drift.describe_installed(skill)
            if description is None and about is not None:
                description = about.description
            version = version or skill.version
            if record is not None and source is None:
                source, revision = record.source, record.revision
            places.append({"runtime": skill.runtime, "scope": skill.scope,
                           "path": str(skill.root), "version": skill.version, "state": state,
                           "link": None if skill.link is None else str(skill.link)})
        if offered:
            description = description or offered[0].info.description
            version = version or offered[0].info.version
            source = source or offered[0].source.spec
    document = {"name": args.name, "description": description or "", "version": version or None,
                "source": source, "revision": revision, "installed": places,
                "available": [{"source": f.source.spec, "path": f.subpath,
                               "version": f.info.version or None} for f in offered]}
    state_text = {drift.OK: _("正常"), drift.EDITED: _("已修改"),
                  drift.UNRECORDED: _("无安装记录")}
    lines = [_("名称: {name}").format(name=args.name),
             _("版本: {version}").format(version=version or _("（未知）")),
             _("来源: {source}").format(source=source or _("（未知：没有安装记录）"))]
    if revision:
        lines.append(_("修订: {revision}").format(revision=revision))
    lines.append(_("说明: {text}").format(text=" ".join((description or "").split())
                                          or _("（无）")))
    if places:
        lines += ["", *table([_("运行时"), _("范围"), _("版本"), _("状态"), _("目录")],
                             [[p["runtime"], scope_text(p["scope"]), p["version"],
                               state_text[p["state"]], p["path"]] for p in places])]
    else:
        lines += ["", _("尚未安装（tarvek-skills install {source}）").format(
            source=args.source or args.name)]
    return Outcome(EXIT_OK, document, lines)
