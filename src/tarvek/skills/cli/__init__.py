"""The `tarvek-skills` command: the skills layer for a person at a terminal.

Every subcommand is a thin layer over the public functions of
`tarvek.skills.packaging` and `tarvek.skills.discovery.detector`: the modules
decide, the command parses the command line (`parsing`), calls them and
formats what they return (`output`: aligned columns with a header, or one
JSON document with `--json`).  `commands` is the table of subcommands and
the modules that hold them, which are imported only when their subcommand
runs: `release` (locations, validate, select, prune, datas), `installed`
(list, outdated, targets, remove, over the one model of `model`), `install`
(from any source, or from the lock file), `update`, `lookup` (info,
search), `authoring` (init, check), `doctor`, `verify` and `completion`.
They add their options with the shared helpers of `options`; `manifest`
holds what the release commands and doctor share about the manifest and
the build profile, `sources` where skills come from (with `archive`,
`download` and `gitsource`), `skill` what a skill must be, `lockfile` and
`locked` the project's lock file, `drift` how an installed skill stands to
its record and its source, `store` the central store's record of links,
`staging` the crash-safe changes of a skills directory.  Every message
goes through `i18n` (Chinese or English, by the locale).

Exit status: 0 on success; 1 for file-system errors (the path is named), for
problems found by `validate` or `doctor` and for other failures; 2 for wrong
usage, for errors of the release manifest or of a build profile and for
refused requests; 130 when interrupted, 128 + the signal for SIGTERM and
SIGHUP, also when the signal arrives after the work, while the process ends
(`console_main`).  A reader that goes away early (`| head`) is no error.
Errors are one line on standard error, never a traceback; with `--json` the
error is also the run's one JSON document on standard output, and so are
`--help` and `--version`.
"""

from __future__ import annotations

import os
import signal
import sys

from .common import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError,
                     Terminated, manifest_error_type)
from .i18n import _

# What a run loads is what it needs: the parser (argparse) when there is a
# command line to parse, a subcommand's module when it runs, the output
# helpers when there is something to print.  `-V` alone needs none of them.
__all__ = ["main", "console_main", "build_parser"]


def build_parser():
    """The command line parser (`parsing.build_parser`)."""
    from .parsing import build_parser

    return build_parser()


def _wants_json(argv: list[str]) -> bool:
    from .parsing import wants_json

    return wants_json(argv)


def _version_only(argv: list[str]) -> bool:
    """Whether the command line asks for the version and nothing else
    (`-V` or `--version`, perhaps with `--json`): the parser would answer
    that before looking at anything else, so it is answered without one."""
    words = ("-V", "--version", "--json")
    return any(w in words[:2] for w in argv) and all(w in words for w in argv)


def _say_version(as_json: bool) -> None:
    from .common import version_text

    text, document = version_text()
    if as_json:
        from .output import json_text

        text = json_text(document) + "\n"
    sys.stdout.write(text)
    sys.stdout.flush()


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


def _raise_terminated(signum, frame):
    raise Terminated(signum)


class _TerminationSignals:
    """SIGTERM and SIGHUP unwind the run as Ctrl-C does, so that every
    clean-up runs; the previous handlers come back afterwards."""

    SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP")
                    if hasattr(signal, name))

    def __enter__(self):
        self.saved = {}
        for signum in self.SIGNALS:
            try:
                self.saved[signum] = signal.signal(signum, _raise_terminated)
            except (ValueError, OSError):  # not the main thread
                pass
        return self

    def __exit__(self, *exc):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        return False


def _run(argv: list[str] | None) -> tuple[int, str | None, str]:
    """Run the command: (exit status, error message or None, error kind)."""
    try:
        if _version_only(argv):
            _say_version("--json" in argv)
            return EXIT_OK, None, ""
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:  # --help or --version
            return _exit_status(exc.code), None, ""
        outcome = args.handler(args)
        from .output import emit

        emit(outcome, args.json)
        return outcome.status, None, ""
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED, _("已中断"), "interrupted"
    except Terminated as exc:
        return 128 + exc.signum, _("已被信号 {name} 终止").format(
                                     name=signal.Signals(exc.signum).name), "interrupted"
    except CommandError as exc:
        return exc.status, str(exc), exc.kind
    except BrokenPipeError:
        # The reader went away (for example `| head`): it has what it
        # wanted, and there is nobody left to tell.
        _silence_stdout()
        return EXIT_OK, None, ""
    except OSError as exc:
        from .output import os_error_message

        return EXIT_FAILURE, os_error_message(exc), "os"
    except Exception as exc:
        manifest_error = manifest_error_type()
        if manifest_error is not None and isinstance(exc, manifest_error):
            return EXIT_USAGE, str(exc), "manifest"
        if isinstance(exc, NotImplementedError):
            return EXIT_FAILURE, _("该功能尚不可用: {exc}").format(exc=exc), "failure"
        return EXIT_FAILURE, f"{type(exc).__name__}: {exc}", "failure"


def main(argv: list[str] | None = None) -> int:
    """Run the command with `argv` (default: the process arguments) and
    return its exit status."""
    if argv is None:
        argv = sys.argv[1:]
    _harden_streams()
    with _TerminationSignals():
        status, message, kind = _run(list(argv))
        if message is not None:
            from .output import error

            error(message, kind, _wants_json(list(argv)))
    return status


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that nothing written or
    flushed later fails again on a closed pipe."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


_LATE_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                      if hasattr(signal, name))


def _hold_signals() -> None:
    try:
        signal.pthread_sigmask(signal.SIG_BLOCK, _LATE_SIGNALS)
    except (AttributeError, ValueError, OSError):
        pass


def _pending_signal() -> int | None:
    """A signal that arrived while held and that this process does not
    ignore, Ctrl-C first."""
    try:
        pending = signal.sigpending()
    except (AttributeError, OSError):
        return None
    for signum in _LATE_SIGNALS:
        if signum in pending and signal.getsignal(signum) is not signal.SIG_IGN:
            return signum
    return None


def _late_status(signum: int) -> int:
    interrupted = signum == signal.SIGINT
    try:
        from .output import error

        error(_("已中断") if interrupted else _("已被信号 {name} 终止").format(
                                            name=signal.Signals(signum).name),
              "interrupted", False)
    except (OSError, ValueError):
        pass
    return EXIT_INTERRUPTED if interrupted else 128 + signum


def console_main() -> None:
    """The `tarvek-skills` script and `python -m tarvek.skills`: run `main`,
    then end the process with its status.  Once the work is done, Ctrl-C,
    SIGTERM and SIGHUP are held back until the process is gone; one that
    arrived while it was ending still ends it with 130 (128 + the signal)
    and the message, never by the signal itself."""
    # SIGTERM and SIGHUP unwind as Ctrl-C does from here on, not only
    # while `main` runs.
    with _TerminationSignals():
        try:
            try:
                status = main()
            finally:
                _hold_signals()
        except KeyboardInterrupt:
            _hold_signals()
            status = _late_status(signal.SIGINT)
        except Terminated as exc:
            _hold_signals()
            status = _late_status(exc.signum)
        else:
            signum = _pending_signal()
            if signum is not None:
                status = _late_status(signum)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except BrokenPipeError:
            _silence_stdout()
        except (OSError, ValueError):
            pass
    sys.exit(status)
