"""A git repository as a source of skills, through the `git` program.

A repository is cloned shallow (`--depth 1`) into a scratch directory,
with no hook run (`core.hooksPath` pointed at /dev/null), no submodule
fetched and the `ext::` transport refused; the URL always comes after `--`,
so that it can never be read as an option.  git's own credential helpers
answer for private repositories; only where no terminal is attached is
`GIT_TERMINAL_PROMPT=0` set, so that a missing password fails instead of
waiting for an answer nobody can type."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from .common import CommandError
from .i18n import _

SCHEMES = ("https", "ssh", "file")
_HEX = re.compile(r"[0-9a-f]{7,64}")
_SAFE = ["-c", "core.hooksPath=/dev/null", "-c", "protocol.ext.allow=never",
         "-c", "submodule.recurse=false", "-c", "core.fsmonitor=false",
         "-c", "advice.detachedHead=false"]
TIMEOUT = 600


class GitError(CommandError):
    kind = "git"


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    try:
        attached = sys.stdin.isatty() or sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):
        attached = False
    if not attached:
        env["GIT_TERMINAL_PROMPT"] = "0"
    # Never a repository of the caller's by accident.
    for name in ("GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY"):
        env.pop(name, None)
    return env


def _git(args: list[str], cwd: Path | None = None, what: str = "") -> str:
    program = shutil.which("git")
    if program is None:
        raise GitError(_("需要 git 程序来读取仓库，但在 PATH 中找不到它"))
    try:
        result = subprocess.run([program, *_SAFE, *args], cwd=cwd, env=_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                errors="replace", timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        raise GitError(_("git 超时未完成: {what}").format(what=what)) from None
    if result.returncode != 0:
        lines = [line for line in result.stderr.splitlines() if line.strip()]
        reason = lines[-1].strip() if lines else _("退出状态 {status}").format(
            status=result.returncode)
        raise GitError(_("git 失败（{what}）: {reason}").format(what=what, reason=reason))
    return result.stdout


def split(spec: str) -> tuple[str, str | None]:
    """(URL git is given, REF or None) of `git+URL[#REF]`."""
    url = spec[len("git+"):]
    url, _sep, ref = url.partition("#")
    return url, (ref or None)


def valid(spec: str) -> bool:
    url, ref = split(spec)
    scheme = url.partition("://")[0]
    return (scheme in SCHEMES and "://" in url and not url.startswith("-")
            and (ref is None or (not ref.startswith("-") and "\0" not in ref)))


def clone(spec: str, dest: Path, revision: str | None = None) -> str:
    """Check out `spec` into `dest` (which must not exist), at `revision`
    (a commit) when given, else at its REF or the default branch; return
    the commit checked out."""
    url, ref = split(spec)
    wanted = revision or ref
    if wanted is None or (not _HEX.fullmatch(wanted)):
        args = ["clone", "--depth", "1", "--no-tags", "--quiet"]
        if wanted is not None:
            args += ["--branch", wanted]
        _git([*args, "--", url, str(dest)], what=url)
    else:
        # A commit: fetched alone where the server allows it, else with
        # every branch and tag (a server that answers only for the tips of
        # its refs, as protocol v0 does, still has it on one of them).
        dest.mkdir()
        _git(["init", "--quiet"], cwd=dest, what=url)
        try:
            _git(["fetch", "--depth", "1", "--quiet", "--", url, wanted], cwd=dest, what=url)
        except GitError:
            _git(["fetch", "--quiet", "--no-tags", "--", url, "+refs/heads/*:refs/remotes/r/*",
                  "+refs/tags/*:refs/tags/*"], cwd=dest, what=url)
        _git(["checkout", "--quiet", "--detach", wanted if revision is None
              else revision], cwd=dest, what=url)
    return head(dest)


def head(checkout: Path) -> str:
    return _git(["rev-parse", "HEAD"], cwd=checkout, what="rev-parse").strip()


def remote_revision(spec: str) -> str | None:
    """The commit the REF of `spec` (or the default branch) names now, asked
    of the remote without cloning; None for a REF that is itself a commit."""
    url, ref = split(spec)
    if ref is not None and _HEX.fullmatch(ref):
        return None
    out = _git(["ls-remote", "--", url, ref or "HEAD"], what=url)
    candidates = {}
    for line in out.splitlines():
        sha, _tab, name = line.partition("\t")
        candidates[name] = sha
    if ref is None:
        return candidates.get("HEAD")
    for name in (f"refs/tags/{ref}^{{}}", f"refs/tags/{ref}", f"refs/heads/{ref}", ref):
        if name in candidates:
            return candidates[name]
    raise GitError(_("仓库中没有 {ref}: {url}").format(ref=ref, url=url))
