"""install from every kind of source, offline: a directory, a folder of
skills, .zip and .tar.gz archives on disk and over HTTPS from a server on
127.0.0.1 with a self-signed certificate, and a local git repository; the
lock file each install writes, a restore from it in a fresh project, the
drift list, doctor and update report, and the hostile sources refused with
nothing written."""

import http.server
import io
import json
import os
import shutil
import ssl
import subprocess
import tarfile
import threading
import zipfile
from pathlib import Path

import pytest

from conftest import run_json, snapshot

import tomllib

GIT = shutil.which("git")
OPENSSL = shutil.which("openssl")


def make_skill(root: Path, name: str, version: str = "1.0.0", body: str = "",
               description: str | None = None) -> Path:
    (root / "data").mkdir(parents=True, exist_ok=True)
    (root / "SKILL.md").write_text(
        f"---\nname: {name}\ndescription: {description or 'Does ' + name}\n---\n\n# {name}\n"
        f"{body}", encoding="utf-8")
    (root / "data" / "VERSION.json").write_text(json.dumps({"version": version}))
    return root


def lock_of(directory: Path) -> dict:
    return tomllib.loads((directory / "tarvek-skills.lock").read_text(encoding="utf-8"))


@pytest.fixture
def project(tmp_path):
    """A project opened in Claude Code and in Codex."""
    directory = tmp_path / "project"
    (directory / ".claude").mkdir(parents=True)
    (directory / ".codex").mkdir()
    return directory


@pytest.fixture
def fresh(tmp_path):
    directory = tmp_path / "fresh"
    (directory / ".claude").mkdir(parents=True)
    (directory / ".codex").mkdir()
    return directory


def git(*args, cwd):
    subprocess.run([GIT, "-c", "user.name=t", "-c", "user.email=t@example.invalid",
                    "-c", "init.defaultBranch=main", *args], cwd=cwd, check=True,
                   capture_output=True)


@pytest.fixture
def repository(tmp_path, env):
    """A git repository with skills/hello and skills/bye, tagged v1; git is
    on the command's PATH."""
    if GIT is None:
        pytest.skip("git is not installed")
    (Path(env["PATH"]) / "git").symlink_to(GIT)
    root = tmp_path / "repo"
    make_skill(root / "skills" / "hello", "hello")
    make_skill(root / "skills" / "bye", "bye")
    git("init", "-q", cwd=root)
    git("add", "-A", cwd=root)
    git("commit", "-qm", "one", cwd=root)
    git("tag", "v1", cwd=root)
    return root


# --------------------------------------------------------------------------
# An HTTPS server on 127.0.0.1 with a certificate of its own


@pytest.fixture(scope="module")
def https(tmp_path_factory):
    """(base URL, directory it serves, certificate file)."""
    if OPENSSL is None:
        pytest.skip("openssl is not installed")
    home = tmp_path_factory.mktemp("https")
    cert, key = home / "cert.pem", home / "key.pem"
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    served = home / "www"
    served.mkdir()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=str(served), **kwargs)

        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.startswith("/downgrade"):
                # A redirect to plain HTTP, which must not be followed.
                self.send_response(302)
                self.send_header("Location", "http://127.0.0.1:9/pack.tar.gz")
                self.end_headers()
                return
            super().do_GET()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"https://127.0.0.1:{server.server_address[1]}", served, cert
    server.shutdown()
    server.server_close()


def tls_env(cert):
    """The certificate handed through SSL_CERT_FILE, and no proxy in the way."""
    return {"SSL_CERT_FILE": str(cert), "https_proxy": "", "HTTPS_PROXY": "",
            "no_proxy": "127.0.0.1"}


def make_tar(path: Path, source: Path) -> Path:
    with tarfile.open(path, "w:gz") as archive:
        archive.add(source, arcname=source.name)
    return path


def make_zip(path: Path, source: Path) -> Path:
    with zipfile.ZipFile(path, "w") as archive:
        for file in sorted(source.rglob("*")):
            archive.write(file, f"{source.name}/{file.relative_to(source)}")
    return path


# --------------------------------------------------------------------------
# Each kind of source: install, lock file, restore in a fresh project


def source_of(kind, tmp_path, request):
    """(SOURCE words, extra environment, names installed, lock source)."""
    skills = tmp_path / "src"
    if kind == "builtin":
        return ["alpha"], {}, ["alpha"], "builtin:alpha"
    if kind == "directory":
        make_skill(skills / "solo", "solo")
        return [str(skills / "solo")], {}, ["solo"], str(skills / "solo")
    if kind == "folder":
        make_skill(skills / "one", "one")
        make_skill(skills / "two", "two")
        make_skill(skills / "three", "three")
        return [str(skills), "--skill", "one", "--skill", "two"], {}, ["one", "two"], str(skills)
    if kind in ("zip", "tar.gz"):
        make_skill(skills / "packed", "packed")
        maker = make_zip if kind == "zip" else make_tar
        archive = maker(tmp_path / f"packed.{kind}", skills / "packed")
        return [str(archive)], {}, ["packed"], str(archive)
    if kind == "https":
        base, served, cert = request.getfixturevalue("https")
        make_skill(skills / "fetched", "fetched")
        make_tar(served / "fetched.tar.gz", skills / "fetched")
        url = f"{base}/fetched.tar.gz"
        return [url], tls_env(cert), ["fetched"], url
    repo = request.getfixturevalue("repository")
    spec = f"git+file://{repo}#v1"
    return [spec], {}, ["hello", "bye"], spec


KINDS = ["builtin", "directory", "folder", "zip", "tar.gz", "https", "git"]


@pytest.mark.parametrize("kind", KINDS)
def test_each_source_installs_locks_and_restores(run, tmp_path, project, fresh, kind,
                                                 request):
    words, extra, names, source = source_of(kind, tmp_path, request)
    document = run_json(run, "install", *words, "--cwd", project, extra_env=extra)
    assert sorted(s["name"] for s in document["skills"]) == sorted(names)
    lock = lock_of(project)["skills"]
    assert sorted(lock) == sorted(names)
    for name in names:
        entry = lock[name]
        # Every AI tool the project has gets it.
        assert entry["targets"] == ["claude", "codex"]
        assert entry["source"] == source and entry["digest"].startswith("sha256:")
        for tool in (".claude", ".codex"):
            assert (project / tool / "skills" / name / "SKILL.md").is_file()
    if kind == "git":
        head = subprocess.run([GIT, "rev-parse", "HEAD"], cwd=request.getfixturevalue(
            "repository"), capture_output=True, text=True).stdout.strip()
        assert {e["revision"] for e in lock.values()} == {head}
        assert lock["hello"]["path"] == "skills/hello"

    # A fresh checkout: the lock file alone brings back the same content.
    shutil.copy(project / "tarvek-skills.lock", fresh)
    restored = run_json(run, "install", "--cwd", fresh, extra_env=extra)
    assert restored["restored"] is True
    listed = run_json(run, "list", "--cwd", fresh)["skills"]
    assert sorted((s["name"], s["runtime"], s["state"]) for s in listed) == sorted(
        (n, r, "ok") for n in names for r in ("claude", "codex"))
    assert lock_of(fresh) == lock_of(project)
    # Again: nothing to do.
    again = run_json(run, "install", "--cwd", fresh, extra_env=extra)
    assert all(t["kept"] for s in again["skills"] for t in s["installed"])


def renew(kind, tmp_path, request, env) -> tuple[list[str], str]:
    """Gives the source that source_of made for `kind` a newer version of
    its first skill; returns (the names that changed, their new version)."""
    skills = tmp_path / "src"
    if kind == "builtin":
        template = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "alpha"
        (template / "data" / "VERSION.json").write_text('{"version": "2.0"}')
        return ["alpha"], "2.0"
    if kind == "directory":
        make_skill(skills / "solo", "solo", "2.0.0")
        return ["solo"], "2.0.0"
    if kind == "folder":
        make_skill(skills / "one", "one", "2.0.0")
        return ["one"], "2.0.0"
    if kind in ("zip", "tar.gz"):
        maker = make_zip if kind == "zip" else make_tar
        maker(tmp_path / f"packed.{kind}", make_skill(skills / "packed", "packed", "2.0.0"))
        return ["packed"], "2.0.0"
    if kind == "https":
        _base, served, _cert = request.getfixturevalue("https")
        make_tar(served / "fetched.tar.gz", make_skill(skills / "fetched", "fetched", "2.0.0"))
        return ["fetched"], "2.0.0"
    repo = request.getfixturevalue("repository")
    make_skill(repo / "skills" / "hello", "hello", "2.0.0")
    git("commit", "-qam", "two", cwd=repo)
    git("tag", "-f", "v1", cwd=repo)  # the REF moves on
    return ["hello"], "2.0.0"


@pytest.mark.parametrize("kind", KINDS)
def test_each_source_reports_drift_and_updates(run, tmp_path, project, kind, request, env):
    words, extra, names, _source = source_of(kind, tmp_path, request)
    run_json(run, "install", *words, "--cwd", project, extra_env=extra)
    first = names[0]
    edited = project / ".claude" / "skills" / first / "SKILL.md"
    edited.write_text(edited.read_text() + "my note\n")
    changed, version = renew(kind, tmp_path, request, env)

    def standing():
        return {(s["name"], s["runtime"]): s for s in run_json(
            run, "list", "--outdated", "--cwd", project, extra_env=extra)["skills"]}

    states = standing()
    assert {key: s["state"] for key, s in states.items()} == {
        (n, r): "edited" if (n, r) == (first, "claude") else "ok"
        for n in names for r in ("claude", "codex")}
    assert sorted({n for (n, _r), s in states.items() if s["outdated"]}) == changed
    outdated = run_json(run, "outdated", "--cwd", project, extra_env=extra)["outdated"]
    assert sorted({(s["name"], s["available"]) for s in outdated}) == [(n, version)
                                                                        for n in changed]

    # The edited copy holds the update back; --force keeps it aside.
    refused = run("update", "--cwd", project, extra_env=extra)
    assert refused.returncode == 1 and str(edited.parent) in refused.stderr
    assert "my note" in edited.read_text()
    run_json(run, "update", "--force", "--cwd", project, extra_env=extra)
    assert "my note" not in edited.read_text()
    lock = lock_of(project)["skills"]
    assert {n: lock[n]["version"] for n in changed} == {n: version for n in changed}
    assert all(s["state"] == "ok" and s["outdated"] is False for s in standing().values())


def test_a_locked_commit_off_the_tips_is_restored_from_a_server_that_serves_tips_only(
        run, env, tmp_path, project, fresh, repository):
    # Protocol v0 answers a request for a commit only at the tip of a ref.
    config = tmp_path / "gitconfig"
    config.write_text("[protocol]\n\tversion = 0\n")
    extra = {"GIT_CONFIG_GLOBAL": str(config)}
    git("checkout", "-qb", "topic", cwd=repository)
    (repository / "NOTES").write_text("topic\n")
    git("add", "NOTES", cwd=repository)
    git("commit", "-qm", "topic", cwd=repository)
    run_json(run, "install", f"git+file://{repository}#topic", "--skill", "hello", "--cwd",
             project, extra_env=extra)
    make_skill(repository / "skills" / "hello", "hello", "2.0.0")
    git("commit", "-qam", "two", cwd=repository)
    git("checkout", "-q", "main", cwd=repository)  # the locked commit is on no tip now
    shutil.copy(project / "tarvek-skills.lock", fresh)
    run_json(run, "install", "--cwd", fresh, extra_env=extra)
    assert json.loads((fresh / ".claude/skills/hello/data/VERSION.json").read_text()) == {
        "version": "1.0.0"}


def test_restore_refuses_content_that_moved_on_naming_the_skill(run, tmp_path, project, fresh):
    source = make_skill(tmp_path / "src" / "solo", "solo")
    run_json(run, "install", str(source), "--cwd", project)
    (source / "SKILL.md").write_text((source / "SKILL.md").read_text() + "changed\n")
    shutil.copy(project / "tarvek-skills.lock", fresh)
    before = snapshot(fresh)
    result = run("install", "--cwd", fresh)
    assert result.returncode == 2 and "solo" in result.stderr and "摘要" in result.stderr
    assert snapshot(fresh) == before


def test_restore_of_links_needs_the_same_stored_copy(run, env, tmp_path, project, fresh):
    env["TARVEK_CENTRAL_SKILLS_DIR"] = str(tmp_path / "store")
    run_json(run, "install", "alpha", "--link", "--cwd", project)
    assert lock_of(project)["skills"]["alpha"]["link"] is True
    shutil.copy(project / "tarvek-skills.lock", fresh)
    run_json(run, "install", "--cwd", fresh)
    assert os.readlink(fresh / ".claude/skills/alpha") == str(tmp_path / "store" / "alpha")
    # A stored copy with other content is refused by name, not silently linked.
    (tmp_path / "store" / "alpha" / "SKILL.md").write_text("mine")
    other = tmp_path / "other"
    (other / ".claude").mkdir(parents=True)
    shutil.copy(project / "tarvek-skills.lock", other)
    result = run("install", "--cwd", other)
    assert result.returncode == 2 and "alpha" in result.stderr
    assert not (other / ".claude/skills").exists()


def test_a_repository_is_cloned_without_running_hooks(run, env, tmp_path, project,
                                                          repository):
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    sentinel = tmp_path / "hook-ran"
    for hook in ("post-checkout", "post-merge", "reference-transaction"):
        (hooks / hook).write_text(f"#!/bin/sh\ntouch {sentinel}\n")
        (hooks / hook).chmod(0o755)
    config = tmp_path / "gitconfig"
    config.write_text(f"[core]\n\thooksPath = {hooks}\n")
    run_json(run, "install", f"git+file://{repository}", "--skill", "hello", "--cwd", project,
             extra_env={"GIT_CONFIG_GLOBAL": str(config)})
    assert not sentinel.exists()
    assert sorted(lock_of(project)["skills"]) == ["hello"]


def test_several_sources_and_a_clash_of_names(run, tmp_path, project):
    first = make_skill(tmp_path / "a" / "same", "same")
    second = make_skill(tmp_path / "b" / "same", "same", body="other\n")
    other = make_skill(tmp_path / "c" / "other", "other")
    document = run_json(run, "install", str(first), str(other), "alpha", "--cwd", project,
                        "--runtime", "claude")
    assert sorted(s["name"] for s in document["skills"]) == ["alpha", "other", "same"]
    before = snapshot(project)
    result = run("install", str(first), str(second), "--cwd", project, "--force")
    assert result.returncode == 2 and "same" in result.stderr
    assert snapshot(project) == before


def test_remove_drops_the_lock_entry_and_doctor_notes_what_is_missing(run, tmp_path, project):
    solo = make_skill(tmp_path / "src" / "solo", "solo")
    run_json(run, "install", "alpha", str(solo), "--cwd", project)
    run_json(run, "remove", "solo", "--runtime", "codex", "--cwd", project)
    assert lock_of(project)["skills"]["solo"]["targets"] == ["claude"]
    run_json(run, "remove", "solo", "--cwd", project)
    assert sorted(lock_of(project)["skills"]) == ["alpha"]
    # A locked skill gone from one tool: a note, and install brings it back.
    shutil.rmtree(project / ".codex" / "skills" / "alpha")
    findings = run_json(run, "doctor", "--cwd", project)["findings"]
    assert [(f["check"], f["severity"]) for f in findings
            if str(project / ".codex") in (f.get("path") or "")] == [("lock", "note")]
    run_json(run, "install", "--cwd", project)
    assert (project / ".codex" / "skills" / "alpha" / "SKILL.md").is_file()


def test_global_runtime_installs_for_that_tool_only(run, env, tmp_path):
    home = Path(env["HOME"])
    env["TARVEK_CENTRAL_SKILLS_DIR"] = str(tmp_path / "store")
    document = run_json(run, "install", "alpha", "--global", "--runtime", "codex")
    assert [t["path"] for t in document["installed"]] == [str(home / ".codex/skills/alpha")]
    assert lock_of(tmp_path / "store")["skills"]["alpha"]["targets"] == ["codex"]
    run_json(run, "remove", "alpha", "--global", "--runtime", "codex")
    # The lock file went with its last skill, and the store made for it.
    assert not (tmp_path / "store").exists()


# --------------------------------------------------------------------------
# Drift: edited copies, newer sources, update


def test_edited_and_outdated_skills_are_reported_and_updated(run, tmp_path, project,
                                                             repository):
    run_json(run, "install", f"git+file://{repository}", "--cwd", project)
    edited = project / ".claude/skills/hello/SKILL.md"
    edited.write_text(edited.read_text() + "my note\n")
    make_skill(repository / "skills" / "hello", "hello", version="2.0.0")
    git("commit", "-qam", "two", cwd=repository)

    states = {(s["name"], s["runtime"]): s for s in run_json(run, "list", "--cwd", project,
                                                              "--outdated")["skills"]}
    assert states[("hello", "claude")]["state"] == "edited"
    assert states[("hello", "codex")]["state"] == "ok"
    assert states[("hello", "codex")]["outdated"] is True
    # The repository moved on, but not this skill's content.
    assert states[("bye", "codex")]["outdated"] is False
    outdated = run_json(run, "outdated", "--cwd", project)["outdated"]
    assert sorted((s["name"], s["runtime"]) for s in outdated) == [("hello", "claude"),
                                                                    ("hello", "codex")]
    notes = {f["check"] for f in run_json(run, "doctor", "--cwd", project, "--remote")[
        "findings"] if f["severity"] == "note"}
    assert {"edited", "outdated"} <= notes

    # The edited copy holds back the update, until --force keeps it aside.
    result = run("update", "--cwd", project)
    assert result.returncode == 1 and str(edited.parent) in result.stderr
    assert "my note" in edited.read_text()
    updated = run_json(run, "update", "hello", "--force", "--cwd", project)["updated"]
    backups = [u["backup"] for u in updated if u["backup"]]
    assert len(backups) == 1 and "my note" in (Path(backups[0]) / "SKILL.md").read_text()
    entry = lock_of(project)["skills"]["hello"]
    head = subprocess.run([GIT, "rev-parse", "HEAD"], cwd=repository, capture_output=True,
                          text=True).stdout.strip()
    assert (entry["version"], entry["revision"]) == ("2.0.0", head)
    for tool in (".claude", ".codex"):
        assert json.loads((project / tool / "skills/hello/data/VERSION.json").read_text()) == {
            "version": "2.0.0"}


def test_update_moves_a_same_content_revision_on(run, tmp_path, project, repository):
    run_json(run, "install", f"git+file://{repository}", "--skill", "hello", "--cwd", project)
    (repository / "README").write_text("unrelated\n")
    git("add", "README", cwd=repository)
    git("commit", "-qm", "readme", cwd=repository)
    document = run_json(run, "update", "--cwd", project)
    assert document["updated"] == [] and {r["name"] for r in document["recorded"]} == {"hello"}
    head = subprocess.run([GIT, "rev-parse", "HEAD"], cwd=repository, capture_output=True,
                          text=True).stdout.strip()
    assert lock_of(project)["skills"]["hello"]["revision"] == head


# --------------------------------------------------------------------------
# Downloads honour the certificate and proxy variables


def test_downloads_verify_the_certificate_and_honour_the_proxy(run, tmp_path, project, https):
    base, served, cert = https
    make_tar(served / "checked.tar.gz", make_skill(tmp_path / "src" / "checked", "checked"))
    url = f"{base}/checked.tar.gz"
    before = snapshot(project)
    untrusted = run("install", url, "--cwd", project, "--json",
                    extra_env={**tls_env(cert), "SSL_CERT_FILE": os.devnull})
    assert untrusted.returncode == 1
    assert json.loads(untrusted.stdout)["error"]["kind"] == "download"
    # Nothing listens on the proxy's port: refused there, though the server is up.
    proxied = run("install", url, "--cwd", project,
                  extra_env={**tls_env(cert), "https_proxy": "http://127.0.0.1:9",
                             "no_proxy": ""})
    assert proxied.returncode == 1 and "Connection refused" in proxied.stderr
    assert snapshot(project) == before
    missing = run("install", f"{base}/nothing.tar.gz", "--cwd", project, extra_env=tls_env(cert))
    assert missing.returncode == 1 and "404" in missing.stderr
    downgrade = run("install", f"{base}/downgrade.tar.gz", "--cwd", project,
                    extra_env=tls_env(cert))
    assert downgrade.returncode == 1 and "重定向到非 https" in downgrade.stderr
    assert snapshot(project) == before


# --------------------------------------------------------------------------
# Hostile sources: refused with a clear message, nothing written


def _zip(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name)
            info.external_attr = mode << 16
            archive.writestr(info, data)
    return path


def _tar(path, members):
    with tarfile.open(path, "w:gz") as archive:
        for name, data, kind in members:
            info = tarfile.TarInfo(name)
            info.type = kind
            if kind == tarfile.SYMTYPE or kind == tarfile.LNKTYPE:
                info.linkname = data
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
    return path


GOOD_MD = b"---\nname: x\ndescription: d\n---\n"
REG = 0o100644
LNK = 0o120777

HOSTILE = {
    "zip-dotdot": (lambda p: _zip(p / "a.zip", [("x/SKILL.md", GOOD_MD, REG),
                                                ("../evil", b"e", REG)]), "..", "a.zip"),
    "zip-fifo": (lambda p: _zip(p / "a.zip", [("x/SKILL.md", GOOD_MD, REG),
                                              ("x/pipe", b"", 0o010644)]), "不是普通文件", "a.zip"),
    "zip-absolute": (lambda p: _zip(p / "a.zip", [("/tmp/evil", b"e", REG)]), "绝对路径",
                     "a.zip"),
    "zip-link-out": (lambda p: _zip(p / "a.zip", [("x/SKILL.md", GOOD_MD, REG),
                                                  ("x/pw", b"/etc/passwd", LNK)]),
                     "Skill 目录之外", "a.zip"),
    "zip-below-link": (lambda p: _zip(p / "a.zip", [("x/l", b".", LNK),
                                                    ("x/l/SKILL.md", GOOD_MD, REG)]),
                       "之下", "a.zip"),
    "tar-hard-link": (lambda p: _tar(p / "a.tar.gz", [("x/SKILL.md", GOOD_MD, tarfile.REGTYPE),
                                                      ("x/h", "/etc/passwd", tarfile.LNKTYPE)]),
                      "硬链接", "a.tar.gz"),
    "tar-link-up": (lambda p: _tar(p / "a.tar.gz", [("x/SKILL.md", GOOD_MD, tarfile.REGTYPE),
                                                    ("x/up", "../../..", tarfile.SYMTYPE)]),
                    "Skill 目录之外", "a.tar.gz"),
    "tar-bomb": (lambda p: _tar(p / "a.tar.gz", [("x/SKILL.md", GOOD_MD, tarfile.REGTYPE),
                                                 ("x/zeros", bytes(24 << 20), tarfile.REGTYPE)]),
                 "压缩比", "a.tar.gz"),
    "no-front-matter": (lambda p: make_skill(p / "x", "x") and (p / "x" / "SKILL.md").write_text(
        "# x\n") and p / "x", "头信息", "x"),
    "bad-yaml": (lambda p: make_skill(p / "x", "x") and (p / "x" / "SKILL.md").write_text(
        "---\nname: [x\n---\n") and p / "x", "YAML", "x"),
    "name-with-slash": (lambda p: make_skill(p / "x", "a/b"), "普通的目录名", "x"),
    "name-dotdot": (lambda p: make_skill(p / "x", ".."), "普通的目录名", "x"),
    "reserved-name": (lambda p: make_skill(p / "x", ".tarvek-installed"), "普通的目录名", "x"),
    "no-description": (lambda p: make_skill(p / "x", "x") and (p / "x" / "SKILL.md").write_text(
        "---\nname: x\n---\n") and p / "x", "description", "x"),
    "directory-link-out": (lambda p: make_skill(p / "x", "x") and os.symlink(
        "/etc", p / "x" / "etc") or p / "x", "Skill 目录之外", "x"),
    "directory-fifo": (lambda p: make_skill(p / "x", "x") and os.mkfifo(p / "x" / "pipe")
                       or p / "x", "不是普通文件", "x"),
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_sources_are_refused_with_nothing_written(run, tmp_path, project, case):
    build, message, _name = HOSTILE[case]
    evil = tmp_path / "evil"
    evil.mkdir()
    source = build(evil)
    before = snapshot(tmp_path / "project")
    result = run("install", str(source), "--cwd", project)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr
    assert snapshot(tmp_path / "project") == before


def _hostile_remote(case, tmp_path, request):
    """(SOURCE, extra environment, what the refusal says) of a hostile
    repository or download."""
    if case.startswith("https"):
        base, served, cert = request.getfixturevalue("https")
        _zip(served / "evil.zip", [("x/SKILL.md", GOOD_MD, REG), ("../evil", b"e", REG)])
        return f"{base}/evil.zip", tls_env(cert), ".."
    repo = request.getfixturevalue("repository")
    if case == "git-link-out":
        os.symlink("/etc/passwd", repo / "skills" / "hello" / "pw")
        git("add", "-A", cwd=repo)
        git("commit", "-qm", "link", cwd=repo)
        return f"git+file://{repo}", {}, "Skill 目录之外"
    if case == "git-bad-name":
        make_skill(repo / "skills" / "hello", "../hello")
        git("commit", "-qam", "name", cwd=repo)
        return f"git+file://{repo}", {}, "普通的目录名"
    if case == "git-ext-transport":
        return f"git+ext::touch {tmp_path / 'ran'}", {}, "git+https://"
    return f"git+file://{repo}#--upload-pack=touch {tmp_path / 'ran'}", {}, "git+https://"


@pytest.mark.parametrize("case", ["https-dotdot", "git-link-out", "git-bad-name",
                                  "git-ext-transport", "git-ref-as-option"])
def test_hostile_remote_sources_are_refused_with_nothing_written(run, tmp_path, project, case,
                                                                 request):
    source, extra, message = _hostile_remote(case, tmp_path, request)
    before = snapshot(project)
    result = run("install", source, "--cwd", project, extra_env=extra)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr
    assert snapshot(project) == before and not (tmp_path / "ran").exists()


def test_a_zip_without_unix_file_types_installs(run, tmp_path, project):
    # zipfile.writestr gives plain files a mode without file type bits,
    # Windows tools give them no mode at all.
    archive = tmp_path / "plain.zip"
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr("plain/SKILL.md", "---\nname: plain\ndescription: d\n---\n")
        dos = zipfile.ZipInfo("plain/notes.txt")
        dos.create_system, dos.external_attr = 0, 0x20  # the MS-DOS archive bit alone
        zf.writestr(dos, "notes")
    assert {i.external_attr >> 16 for i in zipfile.ZipFile(archive).infolist()} == {0o600, 0}
    run_json(run, "install", archive, "--cwd", project)
    assert (project / ".claude/skills/plain/notes.txt").read_text() == "notes"


def test_an_archive_past_the_member_limit_is_refused(tmp_path, project, monkeypatch, capsys,
                                                     env):
    from tarvek.skills import cli
    from tarvek.skills.cli import limits

    for name in ("HOME", "TARVEK_BUILTIN_TEMPLATES_DIR"):
        monkeypatch.setenv(name, env[name])
    monkeypatch.setattr(limits, "MAX_MEMBERS", 5)
    archive = _zip(tmp_path / "many.zip", [(f"x/{i}", b"", REG) for i in range(6)])
    assert cli.main(["install", str(archive), "--cwd", str(project)]) == 2
    assert "成员超过 5 个" in capsys.readouterr().err
    assert not (project / ".claude" / "skills").exists()


# --------------------------------------------------------------------------
# Writing a skill: init, check, install; info and search


def test_init_makes_a_skill_that_checks_and_installs(run, tmp_path, project):
    made = run_json(run, "init", "my-skill", "--dir", tmp_path, "--description", "Mine: a test")
    assert made["path"] == str(tmp_path / "my-skill")
    assert run_json(run, "check", tmp_path / "my-skill")["ok"] is True
    assert run("init", "my-skill", "--dir", tmp_path).returncode == 1  # exists
    run_json(run, "install", tmp_path / "my-skill", "--cwd", project)
    info = run_json(run, "info", "my-skill", "--cwd", project)
    assert info["description"] == "Mine: a test" and info["version"] == "0.1.0"
    assert sorted(p["runtime"] for p in info["installed"]) == ["claude", "codex"]
    found = run_json(run, "search", "mine", "--from", tmp_path / "my-skill")["skills"]
    assert [s["name"] for s in found] == ["my-skill"]
    # The skill's own name must be its directory's.
    (tmp_path / "my-skill").rename(tmp_path / "renamed")
    checked = run("check", tmp_path / "renamed", "--json")
    assert checked.returncode == 1 and "renamed" in json.loads(checked.stdout)["problems"][0]


def test_a_download_shows_its_progress_on_a_terminal(tmp_path, project, https, env,
                                                      monkeypatch, capsys):
    from tarvek.skills import cli
    from tarvek.skills.cli import download

    base, served, cert = https
    make_tar(served / "shown.tar.gz", make_skill(tmp_path / "src" / "shown", "shown"))
    for name in ("HOME", "TARVEK_BUILTIN_TEMPLATES_DIR"):
        monkeypatch.setenv(name, env[name])
    for name, value in tls_env(cert).items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(download, "_terminal", lambda: True)
    assert cli.main(["install", f"{base}/shown.tar.gz", "--cwd", str(project)]) == 0
    assert f"{base}/shown.tar.gz" in capsys.readouterr().err.splitlines()[-1]
