"""Downloading an archive over HTTPS, with urllib from the standard library.

urllib honours `https_proxy`, `http_proxy` and `no_proxy` from the
environment, and the default SSL context takes its certificates from
`SSL_CERT_FILE` and `SSL_CERT_DIR` when they are set; certificates are
always verified.  A download stops past the size any input may unpack to,
shows its progress on standard error when that is a terminal, and is
written to a file of the caller's scratch directory."""

from __future__ import annotations

import hashlib
import os
import sys
import time
from pathlib import Path

from . import limits
from .common import CommandError, Refused
from .i18n import _

_CHUNK = 1 << 16
TIMEOUT = 60  # seconds without an answer


class DownloadError(CommandError):
    kind = "download"


def _progress(label: str, done: int, total: int | None, final: bool = False) -> None:
    if total:
        text = _("下载 {url}: {done} / {total} KiB").format(
            url=label, done=done >> 10, total=total >> 10)
    else:
        text = _("下载 {url}: {done} KiB").format(url=label, done=done >> 10)
    sys.stderr.write("\r" + text + ("\n" if final else ""))
    sys.stderr.flush()


def fetch(url: str, dest: Path) -> str:
    """Download `url` to `dest`; return "sha256:<hex>" of what arrived."""
    import urllib.error
    import urllib.request

    from .output import printable

    label = printable(url)
    request = urllib.request.Request(url, headers={"User-Agent": "tarvek-skills"})
    opener = urllib.request.build_opener(_https_only())
    show = _terminal()
    sha = hashlib.sha256()
    try:
        with opener.open(request, timeout=TIMEOUT) as response:
            length = response.headers.get("Content-Length")
            total = int(length) if length and length.isdigit() else None
            if total is not None and total > limits.MAX_TOTAL:
                raise Refused(_("拒绝下载 {url}: 超过 {size} MiB").format(
                    url=label, size=limits.MAX_TOTAL >> 20))
            done, shown = 0, 0.0
            with open(dest, "xb") as out:
                while chunk := response.read(_CHUNK):
                    done += len(chunk)
                    if done > limits.MAX_TOTAL:
                        raise Refused(_("拒绝下载 {url}: 超过 {size} MiB").format(
                            url=label, size=limits.MAX_TOTAL >> 20))
                    sha.update(chunk)
                    out.write(chunk)
                    if show and time.monotonic() - shown > 0.2:
                        shown = time.monotonic()
                        _progress(label, done, total)
            if show:
                _progress(label, done, total, final=True)
    except urllib.error.HTTPError as exc:
        raise DownloadError(_("下载失败 {url}: HTTP {code} {reason}").format(
            url=label, code=exc.code, reason=exc.reason)) from None
    except urllib.error.URLError as exc:
        raise DownloadError(_("下载失败 {url}: {reason}").format(
            url=label, reason=exc.reason)) from None
    except (TimeoutError, ConnectionError) as exc:
        raise DownloadError(_("下载失败 {url}: {reason}").format(
            url=label, reason=exc)) from None
    return f"sha256:{sha.hexdigest()}"


def _https_only():
    import urllib.error
    import urllib.request

    class HttpsOnly(urllib.request.HTTPRedirectHandler):
        """Follows a redirect only to another https:// URL."""

        def redirect_request(self, req, fp, code, msg, headers, newurl):
            if not newurl.lower().startswith("https://"):
                raise urllib.error.HTTPError(newurl, code, _("重定向到非 https 的地址，拒绝跟随"),
                                             headers, fp)
            return super().redirect_request(req, fp, code, msg, headers, newurl)

    return HttpsOnly


def _terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def file_sha(path: Path) -> str:
    sha = hashlib.sha256()
    with open(path, "rb") as stream:
        while chunk := stream.read(1 << 20):
            sha.update(chunk)
    return f"sha256:{sha.hexdigest()}"


def url_name(url: str) -> str:
    """The file name a URL's path ends with (for telling archive kinds apart)."""
    from urllib.parse import unquote, urlsplit

    return os.path.basename(unquote(urlsplit(url).path))
