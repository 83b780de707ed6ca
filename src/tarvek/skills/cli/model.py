"""One model of the installed skills, for list, outdated, update, remove
and doctor: every skills directory `install` can write (project level under
the project directory and per user, for all six runtimes) plus the extra
directories discovery scans (`--skills-dir`, `TARVEK_SKILLS_DIR`).

The records come from the detector itself: `discover` of a detector whose
candidate directories are those directories, and whose runtime of a skill is
the runtime of the directory it was found in; the directories and runtimes
are the detector's own too.  The skills discovery skips as broken are taken
from the records it logs for them, recognised by what they are (the
detector's logger, DEBUG, the version file and the exception as arguments),
never by their text."""

from __future__ import annotations

import logging
import os
from pathlib import Path
from typing import NamedTuple

from .common import UsageError, detector, detector_class, detector_module
from .i18n import _

SCOPES = ("project", "user", "extra")


def scope_text(scope: str) -> str:
    return {"project": _("项目"), "user": _("用户"), "extra": _("额外")}[scope]


class Location(NamedTuple):
    """A skills directory: its scope, the runtime it belongs to (None for an
    extra directory, whose skills get the runtime discovery infers) and path."""

    scope: str
    runtime: str | None
    path: Path


class Installed(NamedTuple):
    name: str
    version: str
    runtime: str
    scope: str
    directory: Path  # the skills directory
    root: Path  # directory / name, as found (a link for a shared copy)
    version_file: Path
    link: Path | None  # where a linked skill points (the shared copy)

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, "version": self.version, "runtime": self.runtime,
                "scope": self.scope, "directory": str(self.directory), "root": str(self.root),
                "version_file": str(self.version_file),
                "link": None if self.link is None else str(self.link)}


class Broken(NamedTuple):
    name: str
    runtime: str
    scope: str
    root: Path
    version_file: Path
    reason: str

    def as_json(self) -> dict[str, object]:
        return {"name": self.name, "runtime": self.runtime, "scope": self.scope,
                "root": str(self.root), "version_file": str(self.version_file),
                "reason": self.reason}


def project_dir(cwd: Path | None) -> Path:
    """The project directory: `--cwd`, which must be an existing directory,
    or the current directory."""
    if cwd is None:
        return Path.cwd()
    if not cwd.is_dir():
        message = _("项目目录不是目录: {path}") if cwd.exists() else _("项目目录不存在: {path}")
        raise UsageError(message.format(path=cwd))
    return cwd


def _key(path: Path) -> str:
    """Two spellings of one existing directory share a key."""
    return os.path.realpath(path) if path.exists() else str(path.expanduser())


def locations(cwd: Path | None, skills_dir: str | None = None) -> list[Location]:
    """Every skills directory, each once: extra directories first (discovery
    scans them first), then project level, then per user, in runtime order."""
    project = project_dir(cwd)
    det = detector()
    users = [Location("user", str(runtime), path)
             for runtime, path in det.detect_all_install_targets()]
    known = [Location("project", user.runtime,
                      det.detect_install_target(cwd=project, preferred_runtime=user.runtime)[1])
             for user in users]
    known += users
    seen: set[str] = set()
    kept: list[Location] = []
    for location in known:
        key = _key(location.path)
        if key not in seen:
            seen.add(key)
            kept.append(location)
    extra = []
    for path in det.candidate_dirs(skills_dir=skills_dir or None, cwd=project):
        key = _key(path)
        if key not in seen:
            seen.add(key)
            extra.append(Location("extra", None, path))
    return extra + kept


class _Capture(logging.Handler):
    """Collects discovery's records of skipped skills: the only DEBUG records
    of its logger that carry a version file and the exception that reading
    it raised, whatever their message says."""

    def __init__(self, logger: logging.Logger):
        super().__init__(logging.DEBUG)
        self.logger_name = logger.name
        self.skipped: list[tuple[Path, BaseException]] = []

    def emit(self, record: logging.LogRecord) -> None:
        args = record.args
        if record.name == self.logger_name and record.levelno == logging.DEBUG \
                and isinstance(args, tuple) and len(args) == 2 \
                and isinstance(args[0], os.PathLike) and isinstance(args[1], BaseException):
            self.skipped.append((Path(args[0]), args[1]))


def _scanner(dirs: list[Location]):
    base = detector_class()
    by_dir = {location.path: location for location in dirs}

    class Scanner(base):
        """The detector, scanning exactly the given directories."""

        def candidate_dirs(self, skills_dir=None, cwd=None):
            return [location.path for location in dirs]

        def _infer_runtime(self, skill_dir):
            location = by_dir.get(skill_dir.parent)
            if location is not None and location.runtime is not None:
                return location.runtime
            return super()._infer_runtime(skill_dir)

    return Scanner()


def scan(dirs: list[Location]) -> tuple[list[Installed], list[Broken]]:
    """The skills in `dirs`, in discovery's order, and those it skipped."""
    by_dir = {location.path: location for location in dirs}
    # The logger discovery writes through, as the module holds it now.
    logger = detector_module()._logger
    capture = _Capture(logger)
    level = logger.level
    logger.addHandler(capture)
    logger.setLevel(logging.DEBUG)
    try:
        records = _scanner(dirs).discover()
    finally:
        logger.removeHandler(capture)
        logger.setLevel(level)

    installed = []
    for record in records:
        root = Path(record.root)
        location = by_dir.get(root.parent)
        scope = location.scope if location is not None else "extra"
        link = None
        if os.path.islink(root):
            link = Path(os.path.join(root.parent, os.readlink(root)))
        installed.append(Installed(str(record.name), str(record.version), str(record.runtime),
                                   scope, root.parent, root,
                                   Path(record.version_file), link))
    broken = []
    for version_file, reason in capture.skipped:
        root = version_file.parent.parent
        location = by_dir.get(root.parent)
        runtime = (location.runtime if location is not None and location.runtime
                   else detector()._infer_runtime(root))
        broken.append(Broken(root.name, runtime,
                             location.scope if location is not None else "extra",
                             root, version_file, str(reason)))
    return installed, broken


def select(locations_: list[Location], runtimes: list[str] | None,
           scopes: list[str] | None) -> list[Location]:
    """The directories of the given runtimes and scopes (all when None).  An
    extra directory has no runtime of its own: a runtime filter keeps it and
    the records are filtered by their runtime instead."""
    return [location for location in locations_
            if (not scopes or location.scope in scopes)
            and (not runtimes or location.runtime is None or location.runtime in runtimes)]


def template_versions(templates_dir: Path | None = None) -> dict[str, str]:
    """The version of every built-in template, read by discovery as an
    installed skill's is."""
    from .common import packaging

    root = Path(templates_dir) if templates_dir else Path(packaging().get_builtin_templates_dir())
    installed, _ = scan([Location("template", None, root)])
    return {skill.name: skill.version for skill in installed}


OLDER, SAME, NEWER, UNORDERABLE = "older", "same", "newer", "unorderable"


def compare_versions(installed: str, available: str) -> str:
    """How the installed version stands to the available one: OLDER, SAME,
    NEWER, or UNORDERABLE when either is no version that can be ordered (as
    "9.9.9-custom"): such a skill is neither older nor newer."""
    from packaging.version import InvalidVersion, Version

    if installed == available:
        return SAME
    try:
        mine, theirs = Version(installed), Version(available)
    except InvalidVersion:
        return UNORDERABLE
    return OLDER if mine < theirs else NEWER if mine > theirs else SAME
