"""Hostile input to `tarvek-skills verify`: devices, FIFOs and sockets are
refused unread, archives are read as member lists within limits and never
unpacked, and directories are walked without a depth limit."""

import gzip
import io
import json
import os
import socket
import stat
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import make_templates, run_json
from tarvek.skills import cli
from tarvek.skills.cli import verify

WHEEL = ["--artifact", "wheel", "--profile", "python-release"]


@pytest.fixture
def tmpdir_env(env, tmp_path):
    """A private TMPDIR, to see what a run leaves or writes there."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env["TMPDIR"] = str(scratch)
    return scratch


def _special(tmp_path: Path, kind: str) -> Path:
    if kind == "device":
        return Path("/dev/zero")
    path = tmp_path / "f.whl"
    if kind == "fifo":
        os.mkfifo(path)
    else:
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(str(path))
    return path


@pytest.mark.parametrize("kind", ["device", "fifo", "socket"])
def test_what_is_no_regular_file_or_directory_is_refused_unread(run, tmp_path, kind):
    target = _special(tmp_path, kind)
    result = run("verify", target, *WHEEL, "--json")  # the fixture's timeout: no hang
    assert result.returncode == 2, result.stderr
    assert json.loads(result.stdout)["error"]["kind"] == "refused"
    assert str(target) in result.stderr


# --------------------------------------------------------------------------
# Archives


def _wheel(path: Path, members: dict[str, bytes], links: dict[str, str] = {}) -> Path:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
        for name, target in links.items():
            info = zipfile.ZipInfo(name)
            info.external_attr = (stat.S_IFLNK | 0o777) << 16
            archive.writestr(info, target)
    return path


@pytest.fixture
def members(tmp_path):
    """The fixture templates as the members of a wheel."""
    tree = make_templates(tmp_path / "source")
    return {f"tarvek/skills/templates/{p.relative_to(tree)}": p.read_bytes()
            for p in sorted(tree.rglob("*")) if p.is_file()}


def _in_process(args, capsys):
    status = cli.main([*map(str, args), "--json"])
    out, err = capsys.readouterr()
    return status, json.loads(out), err


LIMITS = {
    "members": ("MAX_MEMBERS", 5, "成员超过"),
    "total size": ("MAX_TOTAL", 1 << 20, "MiB"),
    "ratio": ("RATIO_FLOOR", 1 << 10, "压缩比"),
}


@pytest.mark.parametrize("limit", list(LIMITS))
def test_archives_past_a_limit_are_refused_unread(members, tmp_path, monkeypatch, capsys,
                                                 limit):
    name, value, words = LIMITS[limit]
    monkeypatch.setattr(verify, name, value)
    if limit == "total size":
        monkeypatch.setattr(verify, "_STREAM_LIMIT", value)
        big = {"other/big.bin": os.urandom(2 << 20)}  # does not compress: not the ratio
    else:
        big = {"other/zeros.bin": bytes(4 << 20)}
    for form in ("wheel", "sdist"):
        path = tmp_path / f"a.{form}"
        if form == "wheel":
            _wheel(path, {**members, **big})
        else:
            with tarfile.open(path, "w:gz") as archive:
                for member, data in {**members, **big}.items():
                    info = tarfile.TarInfo(f"pkg/src/{member}" if not member.startswith("other")
                                           else member)
                    info.size = len(data)
                    archive.addfile(info, io.BytesIO(data))
        monkeypatch.setattr(verify, "_skeleton", lambda *a: pytest.fail("laid out"))
        status, document, err = _in_process(["verify", path, *WHEEL], capsys)
        assert (status, document["error"]["kind"]) == (2, "refused"), err
        assert words in document["error"]["message"]


def test_an_oversized_tar_header_is_never_read_into_memory(tmp_path, run):
    header = tarfile.TarInfo("././@PaxHeader")
    header.type = tarfile.XHDTYPE
    header.size = 10 << 30
    path = tmp_path / "pax.tar.gz"
    path.write_bytes(gzip.compress(header.tobuf(tarfile.GNU_FORMAT) + bytes(2048)))
    result = run("verify", path, *WHEEL, "--json")
    assert result.returncode == 2 and json.loads(result.stdout)["error"]["kind"] == "refused"


@pytest.mark.parametrize("name", ["../escape.txt", "/etc/evil", "tarvek/skills/templates/../../x"])
def test_member_names_that_leave_the_archive_are_refused(members, tmp_path, run, name):
    path = _wheel(tmp_path / "a.whl", {**members, name: b"x"})
    result = run("verify", path, *WHEEL, "--json")
    assert result.returncode == 2 and "拒绝读取归档" in result.stderr
    assert not (tmp_path / "escape.txt").exists()


def test_a_member_below_a_link_is_refused_not_written_through_it(members, tmp_path, run):
    outside = tmp_path / "outside"
    outside.mkdir()
    path = _wheel(tmp_path / "a.whl",
                  {**members, "tarvek/skills/templates/alpha/x/planted": b"x"},
                  links={"tarvek/skills/templates/alpha/x": str(outside)})
    result = run("verify", path, *WHEEL)
    assert result.returncode == 2 and "链接之下" in result.stderr
    assert list(outside.iterdir()) == []


@pytest.mark.parametrize("target, outside", [("/etc/passwd", True), ("../../../../x", True),
                                            ("../beta/SKILL.md", False), ("SKILL.md", False)])
def test_links_in_an_archive_are_judged_by_where_they_lead(members, tmp_path, run, target,
                                                          outside):
    path = _wheel(tmp_path / "a.whl", members, links={"tarvek/skills/templates/alpha/key": target})
    document = run_json(run, "verify", path, *WHEEL, status=1)  # gamma is not admitted either
    expected = [{"file": f"{path}/tarvek/skills/templates/alpha/key", "target": target}]
    assert document["outside_links"] == (expected if outside else [])


def test_an_archive_is_checked_without_unpacking_its_content(members, tmp_path, monkeypatch,
                                                              capsys):
    # A large member inside the templates tree is listed, never written out.
    big = "tarvek/skills/templates/alpha/big.bin"
    path = _wheel(tmp_path / "a.whl", {**members, big: os.urandom(8 << 20)})
    sizes = {}
    real = verify._skeleton

    def skeleton(listing, scratch):
        links = real(listing, scratch)
        sizes.update({str(p.relative_to(scratch)): p.stat().st_size
                      for p in scratch.rglob("*") if p.is_file()})
        return links

    monkeypatch.setattr(verify, "_skeleton", skeleton)
    status, document, _ = _in_process(["verify", path, *WHEEL], capsys)
    assert status == 1 and document["not_admitted"] == ["gamma"]
    assert document["present"] == ["alpha", "beta", "gamma"]
    manifest = "tarvek/skills/templates/manifest.json"
    assert sizes[big] == 0 and sizes[manifest] == len(members[manifest])
    assert sum(sizes.values()) == sizes[manifest]


@pytest.mark.slow
def test_a_two_gibibyte_bomb_is_refused_at_once(members, tmp_path, tmpdir_env, run):
    path = tmp_path / "bomb.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
        with archive.open("other/zeros.bin", "w", force_zip64=True) as member:
            block = bytes(1 << 20)
            for _ in range(2048):
                member.write(block)
    assert path.stat().st_size < 8 << 20
    result = run("verify", path, *WHEEL, "--json")
    assert result.returncode == 2 and json.loads(result.stdout)["error"]["kind"] == "refused"
    assert list(tmpdir_env.iterdir()) == []


# --------------------------------------------------------------------------
# Directories


def test_a_directory_thousands_of_levels_deep_is_walked(run, tmp_path):
    tree = make_templates(tmp_path / "tpl")
    secret = tmp_path / "secret"
    secret.write_text("key")
    fd = os.open(tree / "alpha", os.O_RDONLY)
    try:
        for _ in range(3000):
            os.mkdir("d", dir_fd=fd)
            deeper = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = deeper
        os.symlink(secret, "key", dir_fd=fd)
        os.symlink("key", "same", dir_fd=fd)  # reaches the same file
        os.symlink("../d", "dir", dir_fd=fd)  # a directory: not collected
    finally:
        os.close(fd)
    document = run_json(run, "verify", tree, *WHEEL, status=1)
    deep = tree / "alpha" / Path(*["d"] * 3000)
    assert [f["file"] for f in document["outside_links"]] == [str(deep / "key"),
                                                              str(deep / "same")]
    assert document["outside_links"][0]["target"] == str(secret)
