"""What every part of the command shares: exit statuses, the errors that
carry one, and access to the two modules the command is a layer over."""

from __future__ import annotations

import os

PROG = "tarvek-skills"
DISTRIBUTION = "tarvek-skills"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# `--runtime` takes the detector's runtimes and, where it makes sense, this.
ALL_RUNTIMES = "all"


class CommandError(Exception):
    """A refusal or failure with a message of its own.

    `kind` names the class of error in a `--json` error document; `status`
    is the exit status."""

    kind = "failure"
    status = EXIT_FAILURE


class UsageError(CommandError):
    """A request that the command refuses before doing anything (exit 2)."""

    kind = "usage"
    status = EXIT_USAGE


class Refused(UsageError):
    """A request that would be unsafe to carry out, refused before anything
    is touched (exit 2)."""

    kind = "refused"


class Cancelled(CommandError):
    """The person at the terminal answered no to a confirmation (exit 1)."""

    kind = "cancelled"


class ManifestError(CommandError):
    """The release manifest or the build profile cannot be used (exit 2)."""

    kind = "manifest"
    status = EXIT_USAGE


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds like Ctrl-C, so that every clean-up
    of an interrupted install runs, then exits with 128 + the signal."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def resolved(path):
    """The real, normalised form of a path (a `Path`), for telling two
    spellings of one directory apart from two directories."""
    from pathlib import Path

    return Path(os.path.normcase(path.resolve()))


def version() -> str | None:
    """This distribution's version: recorded when it was built (the
    generated `tarvek.skills._version`), else read from its installed
    metadata, which costs a scan of the environment's distributions; None
    when neither knows it."""
    try:
        from tarvek.skills._version import version as recorded
    except ImportError:
        pass
    else:
        return recorded
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None


def version_text() -> tuple[str, dict[str, object]]:
    """What `--version` says: (the line for a person, the JSON document)."""
    from .i18n import _

    known = version()
    return f"{PROG} {known or _('未知（未安装）')}\n", {"program": PROG, "version": known}


def packaging():
    from tarvek.skills import packaging

    return packaging


def detector_module():
    from tarvek.skills.discovery import detector

    return detector


def detector_class():
    return detector_module().SkillDetector


def detector():
    return detector_class()()


def runtimes() -> tuple[str, ...]:
    """The detector's runtimes, in its order: those of the per-user
    directories it lists for every runtime, unconditionally."""
    return tuple(str(runtime) for runtime, _ in detector().detect_all_install_targets())


def single_name(name: object) -> bool:
    """Whether `name` is one path component that names an entry of its
    directory: not empty, not "." or "..", without a separator or NUL."""
    return (isinstance(name, str) and name not in ("", ".", "..")
            and os.sep not in name and "/" not in name and "\0" not in name
            and (os.altsep is None or os.altsep not in name))


def manifest_error_type() -> type | None:
    try:
        return packaging().SkillReleaseManifestError
    except Exception:  # the module itself failed to load: no such errors then
        return None
