"""install, update and remove over their whole life: round trips, shared
(--link) copies, dry runs and refusals, and runs that are killed or
interrupted half-way, with what the next run finds and clears."""

import ctypes
import errno
import fcntl
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import RUNTIMES, USER_DIRS, default_signals, make_templates, run_json, snapshot
from tarvek.skills import cli
from tarvek.skills.cli import staging

STAGING = ".tarvek-staging"


@pytest.fixture
def store(env, tmp_path):
    env["TARVEK_CENTRAL_SKILLS_DIR"] = str(tmp_path / "store")
    return tmp_path / "store"


@pytest.fixture
def project(tmp_path):
    directory = tmp_path / "project"
    directory.mkdir()
    return directory


def set_template_version(env, name, version):
    path = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / name / "data" / "VERSION.json"
    path.write_text(json.dumps({"version": version}))


def listed(run, *args):
    return sorted((s["name"], s["version"], s["runtime"], s["scope"])
                  for s in run_json(run, "list", *args)["skills"])


def staging_dirs(root: Path) -> list[Path]:
    return sorted(p for p in root.rglob(STAGING))


def user_dir(home: Path, runtime: str) -> Path:
    return home / USER_DIRS[runtime]


# --------------------------------------------------------------------------
# Round trips


SCOPES = {
    "project": (["--runtime", "claude", "--runtime", "codex"], ["claude", "codex"]),
    "user": (["--all"], RUNTIMES),
}


@pytest.mark.parametrize("link", [False, True], ids=["copy", "link"])
@pytest.mark.parametrize("scope", ["project", "user"])
def test_install_update_remove_round_trip(run, env, store, project, tmp_path, scope, link):
    options, runtimes = SCOPES[scope]
    cwd = [] if scope == "user" else ["--cwd", project]
    base = [*options, *cwd]
    link_option = ["--link"] if link else []

    document = run_json(run, "install", "alpha", *base, *link_option)
    assert sorted(e["runtime"] for e in document["installed"]) == sorted(runtimes)
    dests = [Path(e["path"]) for e in document["installed"]]
    for dest in dests:
        assert (dest / "data" / "VERSION.json").is_file()
        assert dest.is_symlink() == link
        if link:
            assert os.readlink(dest) == str(store / "alpha")
    assert listed(run, "--cwd", project) == sorted(("alpha", "1.0", r, scope) for r in runtimes)

    set_template_version(env, "alpha", "1.5")
    set_template_version(env, "beta", "9")  # installed nowhere: nothing to update
    updated = run_json(run, "update", "--cwd", project)["updated"]
    assert [(u["name"], u["from"], u["to"]) for u in updated] == (
        [("alpha", "1.0", "1.5")] if link else [("alpha", "1.0", "1.5")] * len(runtimes))
    assert listed(run, "--cwd", project) == sorted(("alpha", "1.5", r, scope) for r in runtimes)
    for dest in dests:
        assert dest.is_symlink() == link
    assert "没有需要更新的 Skill" in run("update", "--cwd", project).stdout

    document = run_json(run, "remove", "alpha", *base, "--yes")
    assert {e["result"] for e in document["removed"]} == {"removed"}
    assert listed(run, "--cwd", project) == []
    assert not os.path.lexists(store / "alpha")
    assert document["store_removed"] == ([str(store / "alpha")] if link else [])
    assert staging_dirs(tmp_path) == []


def test_update_is_restricted_to_named_skills_and_targets(run, env, project):
    home = Path(env["HOME"])
    run_json(run, "install", "alpha", "--cwd", project)
    run_json(run, "install", "beta", "--cwd", project)
    run_json(run, "install", "alpha", "--all")
    for name in ("alpha", "beta"):
        set_template_version(env, name, "2.0")
    # --global detects no tool here; --runtime codex at project level has nothing.
    assert run_json(run, "update", "--runtime", "codex", "--cwd", project)["updated"] == []
    updated = run_json(run, "update", "beta", "--cwd", project)["updated"]
    assert [(u["name"], u["path"]) for u in updated] == [
        ("beta", str(project / ".claude/skills/beta"))]
    updated = run_json(run, "update", "--runtime", "claude", "--cwd", project)["updated"]
    assert [u["path"] for u in updated] == [str(project / ".claude/skills/alpha")]
    updated = run_json(run, "update", "--all")["updated"]
    assert sorted(u["path"] for u in updated) == sorted(
        str(user_dir(home, r) / "alpha") for r in RUNTIMES)


# --------------------------------------------------------------------------
# Shared copies


def test_link_shares_one_copy_across_update_and_remove(run, env, store, project):
    run_json(run, "install", "alpha", "--link", "--cwd", project,
             "--runtime", "claude", "--runtime", "codex")
    run_json(run, "install", "alpha", "--link", "--runtime", "all")
    claude, codex = project / ".claude/skills/alpha", project / ".codex/skills/alpha"

    # Removing one tool's link leaves the others and the stored copy working.
    document = run_json(run, "remove", "alpha", "--runtime", "codex", "--cwd", project)
    assert document["store_removed"] == []
    assert not os.path.lexists(codex) and claude.is_symlink()
    assert (claude / "data" / "VERSION.json").is_file()

    set_template_version(env, "alpha", "3")
    updated = run_json(run, "update", "--cwd", project)["updated"]
    assert len(updated) == 1 and updated[0]["path"] == str(store / "alpha")
    assert updated[0]["link"] is True and "claude" in updated[0]["runtimes"]
    assert os.readlink(claude) == str(store / "alpha")
    assert json.loads((claude / "data/VERSION.json").read_text())["version"] == "3"

    # The stored copy goes only with the last link that any known directory holds.
    run_json(run, "remove", "alpha", "--all", "--yes")
    assert (store / "alpha").is_dir() and claude.is_symlink()
    assert run_json(run, "remove", "alpha", "--cwd", project)["store_removed"] == [
        str(store / "alpha")]
    assert not os.path.lexists(store / "alpha")
    # The store was made for the copy: it goes with it.
    assert not store.exists()


def test_link_reuses_the_stored_copy_unless_forced(run, store, project):
    run_json(run, "install", "alpha", "--link", "--cwd", project)
    (store / "alpha" / "SKILL.md").write_text("mine")
    document = run_json(run, "install", "alpha", "--link", "--runtime", "codex",
                        "--cwd", project)
    assert document["store"]["result"] == "reused"
    assert (store / "alpha" / "SKILL.md").read_text() == "mine"
    document = run_json(run, "install", "alpha", "--link", "--force", "--cwd", project,
                        "--runtime", "claude")
    assert document["store"]["result"] == "replaced"
    assert document["installed"][0]["replaced"] is True
    assert (store / "alpha" / "SKILL.md").read_text() == "# alpha\n"
    assert (project / ".claude/skills/alpha").is_symlink()


@pytest.mark.parametrize("outside", ["link-is-the-skill", "link-inside-the-skill"])
def test_remove_never_follows_a_link_out(run, tmp_path, project, outside):
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "data").mkdir(parents=True)
    (elsewhere / "data" / "VERSION.json").write_text('{"version": "1"}')
    (elsewhere / "sentinel").write_text("keep me")
    skills = project / ".claude" / "skills"
    skills.mkdir(parents=True)
    if outside == "link-is-the-skill":
        (skills / "mine").symlink_to(elsewhere, target_is_directory=True)
    else:
        (skills / "mine" / "data").mkdir(parents=True)
        (skills / "mine" / "refs").symlink_to(elsewhere, target_is_directory=True)
    before = snapshot(elsewhere)
    document = run_json(run, "remove", "mine", "--cwd", project)
    assert document["removed"] == [{"runtime": "claude", "path": str(skills / "mine"),
                                    "result": "removed"}]
    assert not os.path.lexists(skills / "mine")
    assert snapshot(elsewhere) == before
    assert sorted(p.name for p in skills.iterdir()) == []


def test_update_leaves_a_link_out_of_the_store_alone(run, env, tmp_path, project):
    checkout = tmp_path / "checkout"
    (checkout / "data").mkdir(parents=True)
    (checkout / "data" / "VERSION.json").write_text('{"version": "0.1"}')
    skills = project / ".claude" / "skills"
    skills.mkdir(parents=True)
    (skills / "alpha").symlink_to(checkout, target_is_directory=True)
    before = snapshot(checkout)
    result = run("update", "--cwd", project)
    assert result.returncode == 0 and str(skills / "alpha") in result.stderr
    assert snapshot(checkout) == before and (skills / "alpha").is_symlink()


# --------------------------------------------------------------------------
# Dry runs and refusals change nothing


def _installed_alpha(run, project):
    run_json(run, "install", "alpha", "--cwd", project, "--runtime", "claude")


DRY_RUNS = [
    # (prepare, command, actions expected in the document)
    (None, ["install", "alpha", "--cwd", "{project}"], ["install"]),
    (_installed_alpha, ["install", "alpha", "--cwd", "{project}", "--runtime", "claude",
                        "--runtime", "codex"], ["refuse", "install"]),
    (_installed_alpha, ["install", "alpha", "--cwd", "{project}", "--force"], ["replace"]),
    (None, ["install", "alpha", "--all", "--link"], ["install"] * 6),
    (None, ["install", "alpha", "--runtime", "all"], ["install"] * 6),
    (_installed_alpha, ["remove", "alpha", "--cwd", "{project}", "--runtime", "claude",
                        "--runtime", "codex"], None),  # refused: codex lacks it
    (_installed_alpha, ["remove", "alpha", "--cwd", "{project}"], ["remove"]),
    (_installed_alpha, ["update", "--cwd", "{project}"], None),
]


@pytest.mark.parametrize("prepare, command, actions", DRY_RUNS)
def test_dry_run_changes_nothing(run, env, store, tmp_path, project, prepare, command, actions):
    if prepare is not None:
        prepare(run, project)
    set_template_version(env, "alpha", "2.0")
    before = snapshot(tmp_path)
    args = [str(a).format(project=project) for a in command]
    result = run(*args, "--dry-run", "--json")
    assert snapshot(tmp_path) == before
    if command[0] == "remove" and actions is None:
        assert result.returncode == 1
        return
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["dry_run"] is True
    if command[0] == "update":
        assert [(u["name"], u["from"], u["to"]) for u in document["updated"]] == [
            ("alpha", "1.0", "2.0")]
    else:
        assert [p["action"] for p in document["plan"]] == actions
    text = run(*args, "--dry-run")
    assert text.returncode == 0 and text.stdout.strip()
    assert snapshot(tmp_path) == before


REFUSALS = [
    (["remove", "alpha", "--cwd", "{project}"], 1),  # installed nowhere there
    (["remove", "alpha", "--cwd", "{project}", "--runtime", "claude", "--runtime", "codex"], 1),
    (["remove", "../alpha", "--cwd", "{project}"], 2),
    (["remove", "a/b", "--cwd", "{project}"], 2),
    (["remove", "..", "--cwd", "{project}"], 2),
    (["remove", ".", "--cwd", "{project}"], 2),
    (["remove", "", "--cwd", "{project}"], 2),
    (["remove", STAGING, "--cwd", "{project}"], 2),
    (["update", "omega", "--cwd", "{project}"], 1),  # installed nowhere
    (["update", "alpha", "gamma", "--cwd", "{project}"], 1),  # gamma is not installed
    (["install", "beta", "--link", "--cwd", "{project}"], 1),  # exists, no --force
]


@pytest.mark.parametrize("command, status", REFUSALS)
def test_refusals_change_nothing(run, env, store, tmp_path, project, command, status):
    run_json(run, "install", "beta", "--cwd", project, "--runtime", "claude")
    run_json(run, "install", "alpha", "--all")
    (project / ".codex").mkdir()
    set_template_version(env, "alpha", "2.0")
    before = snapshot(tmp_path)
    result = run(*[a.format(project=project) for a in command])
    assert result.returncode == status and result.stderr.startswith("tarvek-skills: 错误: ")
    assert snapshot(tmp_path) == before


# --------------------------------------------------------------------------
# Killed and interrupted runs


@pytest.fixture(scope="module")
def big_templates(tmp_path_factory):
    """Templates whose copy takes long enough to be caught half-way."""
    root = make_templates(tmp_path_factory.mktemp("big"))
    bulk = root / "alpha" / "bulk"
    for i in range(40):
        part = bulk / f"d{i:02}"
        part.mkdir(parents=True)
        for j in range(100):
            (part / f"f{j:03}.txt").write_bytes(b"x" * 512)
    return root


def _start(env, *args, cwd):
    # The run is to be interrupted: it starts with the signals' default
    # dispositions, whatever this process inherited (a background job or a
    # CI launcher may ignore SIGINT).
    return subprocess.Popen([sys.executable, "-m", "tarvek.skills", *map(str, args)],
                            cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, encoding="utf-8", preexec_fn=default_signals)


def _wait_for_staged_copy(skills: Path, process, timeout=30.0) -> Path:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for new in skills.glob(f"{STAGING}/*/new"):
            if (new / "bulk").exists():
                return new
        assert process.poll() is None, "the run ended before the copy could be caught"
        time.sleep(0.001)
    raise AssertionError("no staged copy appeared")


@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "replacing"])
@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP,
                                    signal.SIGINT], ids=lambda s: signal.Signals(s).name)
def test_killed_install_leaves_nothing_listed(run, env, big_templates, tmp_path, project,
                                              signum, existing):
    env["TARVEK_BUILTIN_TEMPLATES_DIR"] = str(big_templates)
    skills = project / ".claude" / "skills"
    if existing:
        run_json(run, "install", "beta", "--cwd", project)
        (skills / "beta").rename(skills / "alpha")  # an old "alpha": version 1.0, no bulk
        (skills / "alpha" / "SKILL.md").write_text("old")
    before = snapshot(project)
    process = _start(env, "install", "alpha", "--cwd", project, "--force", cwd=tmp_path)
    _wait_for_staged_copy(skills, process)
    process.send_signal(signum)
    _, err = process.communicate(timeout=60)

    expected_list = [("alpha", "1.0", "claude", "project")] if existing else []
    assert listed(run, "--cwd", project) == expected_list
    if signum == signal.SIGKILL:
        assert process.returncode == -signal.SIGKILL
        assert [d.parent for d in staging_dirs(project)] == [skills]
        found = staging.find_leftovers(skills)
        assert [(f.kind, f.restores) for f in found] == [("staging", None)]
    else:
        assert process.returncode == {signal.SIGINT: 130}.get(signum, 128 + signum)
        assert len(err.splitlines()) == 1 and "Traceback" not in err
        assert snapshot(project) == before
        return
    # The next run clears what the killed one left, then does its own work.
    document = run_json(run, "install", "gamma", "--cwd", project)
    assert document["installed"][0]["runtime"] == "claude"
    assert staging_dirs(project) == []
    # Beside the skills: the install records, and the copy of the replaced
    # "alpha" (it has no record) that the killed run kept before replacing.
    assert sorted(p.name for p in skills.iterdir()) == (
        [".tarvek-backup", ".tarvek-installed", "alpha", "gamma"] if existing
        else [".tarvek-installed", "gamma"])
    if existing:
        assert (skills / "alpha" / "SKILL.md").read_text() == "old"
        (kept,) = (skills / ".tarvek-backup").iterdir()
        assert (kept / "SKILL.md").read_text() == "old"


def _dead_run(skills: Path, name: str, parked: bool, ident="4242-0123456789abcdef") -> Path:
    """A run directory as a run killed between the two renames of a
    replacement leaves it: lock free, the old copy parked, the new one staged."""
    run_dir = skills / STAGING / ident
    (run_dir / "new" / "data").mkdir(parents=True)
    (run_dir / "new" / "data" / "VERSION.json").write_text('{"version": "new"}')
    (run_dir / "lock").touch()
    (run_dir / "run.json").write_text(staging._marker(ident, name))
    if parked:
        (skills / name).rename(run_dir / "old")
    else:  # killed after the second rename: the parked copy is stale
        (run_dir / "old" / "data").mkdir(parents=True)
        (run_dir / "old" / "SKILL.md").write_text("stale")
    return run_dir


NEXT_RUNS = [["install", "beta", "--cwd", "{project}"],
             ["remove", "gamma", "--cwd", "{project}"],
             ["update", "gamma", "--cwd", "{project}"]]


@pytest.mark.parametrize("next_run", NEXT_RUNS, ids=lambda a: a[0])
@pytest.mark.parametrize("parked", [True, False], ids=["destination-missing",
                                                       "destination-present"])
def test_next_run_restores_a_parked_copy(run, env, project, parked, next_run):
    run_json(run, "install", "alpha", "--cwd", project)
    run_json(run, "install", "gamma", "--cwd", project)
    skills = project / ".claude" / "skills"
    (skills / "alpha" / "SKILL.md").write_text("precious")
    set_template_version(env, "gamma", "5")
    run_dir = _dead_run(skills, "alpha", parked)
    if parked:
        assert [s[0] for s in listed(run, "--cwd", project)] == ["gamma"]
    found = staging.find_leftovers(skills)
    assert found == [staging.Leftover(run_dir, "staging",
                                      skills / "alpha" if parked else None)]
    assert run(*[a.format(project=project) for a in next_run]).returncode == 0
    assert (skills / "alpha" / "SKILL.md").read_text() == "precious"
    assert not (skills / "alpha" / "new").exists()
    assert staging_dirs(project) == []


def test_directories_named_like_old_leftovers_are_only_reported(project):
    skills = project / "skills"
    for path in ("alpha/data", ".alpha.old-abcd_123/alpha/data", ".beta.old-k2k2k2k2/beta/data",
                 ".beta.tmp-zz99zz99/data", ".notes.tmp-x/keep"):
        (skills / path).mkdir(parents=True)
    before = snapshot(skills)
    assert staging.find_leftovers(skills) == []
    assert sorted((s.path.name, s.reason) for s in staging.find_strangers(skills)) == [
        (".alpha.old-abcd_123", "legacy-name"), (".beta.old-k2k2k2k2", "legacy-name"),
        (".beta.tmp-zz99zz99", "legacy-name")]
    staging.clear_leftovers(skills)
    assert snapshot(skills) == before


def test_a_live_run_is_never_a_leftover(project):
    skills = project / "skills"
    live = _dead_run(skills, "alpha", parked=False, ident="1-00000000000000aa")
    dead = _dead_run(skills, "alpha", parked=False, ident="2-00000000000000bb")
    init = skills / STAGING / f".init-{os.getpid()}-00000000000000cc"
    init.mkdir()
    fd = os.open(live / "lock", os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        assert [f.path for f in staging.find_leftovers(skills)] == [dead]
        staging.clear_leftovers(skills)
        assert sorted(p.name for p in (skills / STAGING).iterdir()) == [init.name, live.name]
    finally:
        os.close(fd)
    # Found dead, then taken over by another run clearing it: left to that run.
    leftover, = staging.find_leftovers(skills)
    fd = os.open(live / "lock", os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        staging.clear_leftover(leftover)
        assert live.is_dir()
    finally:
        os.close(fd)
    staging.clear_leftover(leftover)
    assert not live.exists()


# --------------------------------------------------------------------------
# Replacing in place


@pytest.fixture
def in_process(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(make_templates(tmp_path / "tpl")))
    monkeypatch.setenv("TARVEK_CENTRAL_SKILLS_DIR", str(tmp_path / "store"))
    project = tmp_path / "project"
    project.mkdir()
    return project


@pytest.mark.parametrize("link", [False, True], ids=["copy", "link"])
def test_replacing_keeps_the_destination_present(in_process, monkeypatch, capsys, link):
    args = ["install", "alpha", "--cwd", str(in_process), *(["--link"] if link else [])]
    assert cli.main(args) == 0
    dest = in_process / ".claude" / "skills" / "alpha"
    exchanges, absent = [], []
    real_renameat2, real_rename = staging.renameat2, os.rename

    def check():
        if not os.path.lexists(dest):
            absent.append(True)

    def renameat2(src, dst, flags):
        check()
        done = real_renameat2(src, dst, flags)
        if done and flags == staging.RENAME_EXCHANGE:
            exchanges.append(Path(dst))
        check()
        return done

    def rename(src, dst):
        check()
        real_rename(src, dst)
        check()

    monkeypatch.setattr(staging, "renameat2", renameat2)
    monkeypatch.setattr(os, "rename", rename)
    assert cli.main([*args, "--force"]) == 0
    assert dest in exchanges and absent == []
    assert (dest / "data" / "VERSION.json").is_file()


def test_failed_exchange_changes_nothing(in_process, monkeypatch, capsys):
    args = ["install", "alpha", "--cwd", str(in_process)]
    assert cli.main(args) == 0
    (in_process / ".claude/skills/alpha/SKILL.md").write_text("old")
    before = snapshot(in_process)
    real = staging.renameat2

    def renameat2(src, dst, flags):
        if flags == staging.RENAME_EXCHANGE:
            raise PermissionError(13, "Permission denied", str(src), None, str(dst))
        return real(src, dst, flags)

    monkeypatch.setattr(staging, "renameat2", renameat2)
    assert cli.main([*args, "--force"]) == 1
    err = capsys.readouterr().err
    assert "权限不足" in err and str(in_process / ".claude/skills/alpha") in err
    assert snapshot(in_process) == before


def test_signals_wait_until_the_critical_section_ends(sigint_raises):
    order = []
    with pytest.raises(KeyboardInterrupt):
        with staging.signals_held():
            # To this thread: the mask it holds is its own.
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
            time.sleep(0.05)
            order.append("inside")
    assert order == ["inside"]


@pytest.mark.parametrize("unsupported", ["missing", errno.ENOSYS, errno.EINVAL, errno.ENOTSUP])
def test_without_renameat2_replacing_still_works(in_process, monkeypatch, capsys, unsupported):
    if unsupported == "missing":
        fake = False
    else:
        def fake(*args):
            ctypes.set_errno(unsupported)
            return -1
    monkeypatch.setattr(staging, "_load_renameat2", lambda: fake)
    args = ["install", "alpha", "--cwd", str(in_process)]
    assert cli.main(args) == 0
    skill = in_process / ".claude" / "skills" / "alpha"
    (skill / "SKILL.md").write_text("old")
    assert cli.main(args) == 1  # a fresh rename still refuses an existing skill
    assert cli.main([*args, "--force"]) == 0
    assert (skill / "SKILL.md").read_text() == "# alpha\n"
    # The edited copy was kept aside; nothing of the staging is left.
    assert sorted(p.name for p in skill.parent.iterdir()) == [
        ".tarvek-backup", ".tarvek-installed", "alpha"]


@pytest.mark.parametrize("raced", [".tarvek-staging", "skills"])
def test_a_directory_another_run_removed_meanwhile_is_made_again(tmp_path, monkeypatch, raced):
    # Another run made the directory, and removed it once empty, between
    # this run's mkdir and its look at what is there.
    skills = tmp_path / "skills"
    real_mkdir, real_os_mkdir = Path.mkdir, os.mkdir
    raced_once = []

    def race(path):
        if Path(path).name == raced and not raced_once:
            raced_once.append(path)
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(path))

    def path_mkdir(self, *args, **kwargs):
        race(self)
        return real_mkdir(self, *args, **kwargs)

    def os_mkdir(path, *args, **kwargs):
        race(path)
        return real_os_mkdir(path, *args, **kwargs)

    monkeypatch.setattr(Path, "mkdir", path_mkdir)
    monkeypatch.setattr(staging.os, "mkdir", os_mkdir)
    with staging.Staging() as stage:
        run = stage.run(skills, "alpha")
        assert run.path.parent == skills / staging.STAGING
    assert raced_once and skills.is_dir()
