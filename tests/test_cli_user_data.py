"""What the tarvek-skills command never loses: directories it did not make,
local edits of installed skills, skills whose version it cannot order, the
central store's shared copies, and whatever lies at or above the home
directory; and what it does remove: the directories it made, once empty,
and everything its dry runs announce."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import USER_DIRS, make_templates, run_json, snapshot
from tarvek.skills.cli import records, staging, tree


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


# --------------------------------------------------------------------------
# Directories that look like leftovers but are not proven ours


def _lookalikes(skills: Path) -> None:
    """A user's directories named as an older version named its temporary
    and parked copies, and entries in the staging directory without the
    marker a run writes."""
    for path, text in [(".notes.old-20240101/notes.md", "my dated backup"),
                       (".alpha.tmp-abcd1234/data/VERSION.json", '{"version": "0.1"}'),
                       (".beta.old-k2k2k2k2/beta/SKILL.md", "parked?"),
                       (f"{staging.STAGING}/4242-0123456789abcdef/new/keep.txt", "mine"),
                       (f"{staging.STAGING}/.init-999999-00000000000000aa/keep.txt", "mine"),
                       (f"{staging.STAGING}/notes/keep.txt", "mine")]:
        (skills / path).parent.mkdir(parents=True, exist_ok=True)
        (skills / path).write_text(text)
    # A run directory with the name and lock of one, but an old marker
    # that does not name the run: not proven.
    run_dir = skills / staging.STAGING / "4242-0123456789abcdef"
    (run_dir / "lock").touch()
    (run_dir / "run.json").write_text(json.dumps({"name": "alpha"}))


@pytest.mark.parametrize("command", [
    ["install", "beta", "--cwd", "{project}"],
    ["install", "alpha", "--cwd", "{project}", "--force"],
    ["update", "--cwd", "{project}"],
    ["remove", "alpha", "--cwd", "{project}"],
    ["doctor", "--fix", "--cwd", "{project}"],
], ids=lambda c: " ".join(c[:2]))
def test_directories_that_only_look_like_leftovers_are_never_deleted(run, env, project,
                                                                     command):
    run_json(run, "install", "alpha", "--cwd", project)
    skills = project / ".claude" / "skills"
    _lookalikes(skills)
    set_template_version(env, "alpha", "2.0")
    before = {k: v for k, v in snapshot(skills).items()
              if k.startswith((".notes", ".alpha.tmp", ".beta.old", staging.STAGING))}
    result = run(*[str(a).format(project=project) for a in command])
    assert result.returncode == 0, result.stderr
    after = snapshot(skills)
    assert {k: after.get(k, "gone") for k in before} == before


def test_doctor_notes_lookalikes_without_failing(run, project):
    skills = project / ".claude" / "skills"
    _lookalikes(skills)
    document = run_json(run, "doctor", "--fix", "--cwd", project)
    notes = sorted(Path(f["path"]).name for f in document["findings"]
                   if f["check"] == "stranger")
    assert notes == sorted([".notes.old-20240101", ".alpha.tmp-abcd1234", ".beta.old-k2k2k2k2",
                            "4242-0123456789abcdef", ".init-999999-00000000000000aa", "notes"])
    assert document["ok"] is True
    assert all(f["severity"] == "note" and not f["fixed"] for f in document["findings"])


def test_a_run_directory_with_its_marker_is_cleared(project):
    skills = project / "skills"
    (skills / "alpha").mkdir(parents=True)
    ident = "4242-00000000000000ab"
    run_dir = skills / staging.STAGING / ident
    (run_dir / "new").mkdir(parents=True)
    (run_dir / "lock").touch()
    (run_dir / "run.json").write_text(staging._marker(ident, "alpha"))
    # The same marker copied into another run's directory proves nothing.
    other = skills / staging.STAGING / "4242-00000000000000cd"
    other.mkdir()
    (other / "run.json").write_text(staging._marker(ident, "alpha"))
    assert [f.path for f in staging.find_leftovers(skills)] == [run_dir]
    staging.clear_leftovers(skills)
    assert sorted(p.name for p in (skills / staging.STAGING).iterdir()) == [other.name]


# --------------------------------------------------------------------------
# Local edits


def _edit(skill: Path, how: str) -> None:
    if how == "append":
        with open(skill / "SKILL.md", "a") as stream:
            stream.write("my own note\n")
    elif how == "add file":
        (skill / "mine.txt").write_text("mine")
    elif how == "delete file":
        (skill / "scripts" / "run.py").unlink()
    elif how == "file to link":
        (skill / "SKILL.md").unlink()
        (skill / "SKILL.md").symlink_to("scripts/run.py")
    elif how == "no record":
        os.unlink(skill.parent / records.RECORDS / f"{skill.name}.json")


EDITS = ["append", "add file", "delete file", "file to link", "no record"]


@pytest.mark.parametrize("how", EDITS)
def test_update_refuses_a_changed_skill_and_force_keeps_it(run, env, project, how):
    run_json(run, "install", "alpha", "--cwd", project)
    skill = project / ".claude" / "skills" / "alpha"
    _edit(skill, how)
    edited = snapshot(skill)
    set_template_version(env, "alpha", "2.0")
    before = snapshot(project)
    refused = run("update", "--cwd", project, "--json")
    assert refused.returncode == 1 and str(skill) in refused.stderr
    assert "--force" in refused.stderr
    assert snapshot(project) == before
    preview = run_json(run, "update", "--cwd", project, "--dry-run")
    assert preview["refused"] == [{"name": "alpha", "path": str(skill), "reason": "changed"}]
    assert snapshot(project) == before

    updated = run_json(run, "update", "--cwd", project, "--force")["updated"]
    backup = Path(updated[0]["backup"])
    assert backup.parent == skill.parent / records.BACKUPS
    assert snapshot(backup) == edited
    assert json.loads((skill / "data" / "VERSION.json").read_text())["version"] == "2.0"
    # The fresh copy is recorded: the next update has nothing to refuse.
    set_template_version(env, "alpha", "3.0")
    assert [u["to"] for u in run_json(run, "update", "--cwd", project)["updated"]] == ["3.0"]


def test_forced_install_over_an_unrecorded_skill_keeps_it(run, project):
    run_json(run, "install", "alpha", "--cwd", project)
    skill = project / ".claude" / "skills" / "alpha"
    _edit(skill, "no record")
    document = run_json(run, "install", "alpha", "--cwd", project, "--force")
    assert snapshot(Path(document["installed"][0]["backup"])) == snapshot(skill)
    # Now recorded and unchanged: replaced without a copy, nothing to lose.
    again = run_json(run, "install", "alpha", "--cwd", project, "--force")
    assert again["installed"][0]["backup"] is None


def test_a_changed_stored_copy_is_kept_when_forced(run, env, store, project):
    run_json(run, "install", "alpha", "--link", "--cwd", project)
    (store / "alpha" / "local.txt").write_text("edited in the store")
    set_template_version(env, "alpha", "3")
    assert run("update", "--cwd", project).returncode == 1
    assert (store / "alpha" / "local.txt").exists()
    updated = run_json(run, "update", "--cwd", project, "--force")["updated"]
    assert updated[0]["link"] is True
    assert (Path(updated[0]["backup"]) / "local.txt").read_text() == "edited in the store"
    assert not (store / "alpha" / "local.txt").exists()


# What the digest covers, and what it leaves out.
def _tree(root: Path) -> Path:
    (root / "data").mkdir(parents=True)
    (root / "data" / "VERSION.json").write_text('{"version": "1"}')
    (root / "SKILL.md").write_text("# s\n")
    (root / "empty").mkdir()
    (root / "link").symlink_to("SKILL.md")
    return root


CHANGES = {
    "content": lambda r: (r / "SKILL.md").write_text("# t\n"),
    "rename": lambda r: (r / "SKILL.md").rename(r / "SKILL.MD"),
    "empty directory": lambda r: (r / "empty").rmdir(),
    "link target": lambda r: ((r / "link").unlink(), (r / "link").symlink_to("data")),
    "link to file": lambda r: ((r / "link").unlink(), (r / "link").write_text("# s\n")),
    "new file": lambda r: (r / "data" / "x").write_text(""),
    "file moved down": lambda r: ((r / "empty" / "SKILL.md").write_text("# s\n"),
                                  (r / "SKILL.md").unlink()),
}
SAME = {
    "permissions": lambda r: os.chmod(r / "SKILL.md", 0o600),
    "times": lambda r: os.utime(r / "SKILL.md", (1, 1)),
    "rewritten": lambda r: (r / "SKILL.md").write_text("# s\n"),
}


@pytest.mark.parametrize("change, expect_same", [*((c, False) for c in CHANGES),
                                                 *((c, True) for c in SAME)])
def test_the_digest_covers_paths_kinds_and_content(tmp_path, change, expect_same):
    original = tree.digest(_tree(tmp_path / "a"))
    altered = _tree(tmp_path / "b")
    {**CHANGES, **SAME}[change](altered)
    assert (tree.digest(altered) == original) is expect_same
    assert original.startswith("sha256:")


# --------------------------------------------------------------------------
# Versions that cannot be ordered


def test_a_version_that_cannot_be_ordered_is_reported_not_replaced(run, env, project):
    run_json(run, "install", "alpha", "--cwd", project)
    skill = project / ".claude" / "skills" / "alpha"
    (skill / "data" / "VERSION.json").write_text('{"version": "9.9.9-custom"}')
    (skill / "extra.md").write_text("mine")
    document = run_json(run, "outdated", "--cwd", project)
    assert document["outdated"] == []
    assert [(s["name"], s["version"], s["available"]) for s in document["unorderable"]] == [
        ("alpha", "9.9.9-custom", "1.0")]
    before = snapshot(project)
    result = run("update", "--cwd", project, "--json")
    assert result.returncode == 0 and "9.9.9-custom" in result.stderr
    assert json.loads(result.stdout)["skipped"][0]["reason"] == "unorderable"
    assert snapshot(project) == before
    updated = run_json(run, "update", "--cwd", project, "--force")["updated"]
    assert [u["from"] for u in updated] == ["9.9.9-custom"]
    assert (Path(updated[0]["backup"]) / "extra.md").read_text() == "mine"


# --------------------------------------------------------------------------
# The central store's copies


def test_remove_through_a_skills_directory_linked_to_the_store_is_refused(run, store, project):
    run_json(run, "install", "alpha", "--link", "--runtime", "codex", "--cwd", project)
    (project / ".claude").mkdir()
    (project / ".claude" / "skills").symlink_to(store, target_is_directory=True)
    before = snapshot(store)
    result = run("remove", "alpha", "--cwd", project, "--runtime", "claude", "--json")
    assert result.returncode == 2 and json.loads(result.stdout)["error"]["kind"] == "refused"
    assert snapshot(store) == before
    assert (project / ".codex" / "skills" / "alpha" / "SKILL.md").is_file()


# --------------------------------------------------------------------------
# Directories the tool created


def test_remove_takes_away_the_directories_install_created(run, env, tmp_path):
    home = Path(env["HOME"])
    (home / ".claude").mkdir()  # the user's own: stays
    before = snapshot(home)
    run_json(run, "install", "alpha", "--all")
    document = run_json(run, "remove", "alpha", "--all", "--yes")
    assert snapshot(home) == before
    removed = {Path(p) for p in document["directories_removed"]}
    assert home / USER_DIRS["workbuddy"] in removed and home / ".workbuddy" in removed
    assert home / ".claude" not in removed
    assert [t["runtime"] for t in run_json(run, "targets", "--global")["targets"]] == ["claude"]


def test_a_created_directory_that_the_user_filled_stays(run, env, project):
    run_json(run, "install", "alpha", "--cwd", project)
    (project / ".claude" / "notes.md").write_text("mine")
    run_json(run, "remove", "alpha", "--cwd", project)
    assert (project / ".claude" / "notes.md").read_text() == "mine"
    assert not (project / ".claude" / "skills").exists()


# --------------------------------------------------------------------------
# prune: the dry run tells all, and --force has a floor


def test_prune_dry_run_lists_the_junk_the_real_run_deletes(run, env, tmp_path):
    copies = [tmp_path / "dry", tmp_path / "real"]
    for copy in copies:
        make_templates(copy)
        (copy / "alpha" / "scripts" / "__pycache__").mkdir()
        (copy / "alpha" / "scripts" / "__pycache__" / "run.cpython-313.pyc").write_bytes(b"\0")
        (copy / ".DS_Store").write_bytes(b"\0")
        (copy / "alpha" / "deep" / "er").mkdir(parents=True)
        (copy / "alpha" / "deep" / "er" / "x.pyo").write_bytes(b"\0")
    args = ["--artifact", "wheel", "--profile", "python-release"]
    before = snapshot(copies[1])
    preview = run_json(run, "prune", copies[0], *args, "--dry-run")
    run_json(run, "prune", copies[1], *args)
    gone = set(before) - set(snapshot(copies[1]))
    announced = {p for p in gone if any(p == a or p.startswith(a + "/")
                                        for a in [*preview["would_delete"], *preview["junk"]])}
    assert announced == gone
    assert sorted(preview["junk"]) == sorted([
        ".DS_Store", "alpha/deep/er/x.pyo", "alpha/scripts/__pycache__", "beta/__pycache__",
        "beta/scripts/old.pyc"])
    text = run("prune", copies[0], *args, "--dry-run").stdout
    assert "alpha/deep/er/x.pyo" in text and "gamma" in text


def _floor_targets(home: Path, tmp_path: Path) -> dict[str, Path]:
    (tmp_path / "to-home").symlink_to(home, target_is_directory=True)
    return {"home": home, "home with a trailing slash": Path(f"{home}/"),
            "home through ..": home / "sub" / "..", "home through a link": tmp_path / "to-home",
            "above home": home.parent}


@pytest.mark.parametrize("which", ["home", "home with a trailing slash", "home through ..",
                                   "home through a link", "above home"])
def test_prune_force_never_reaches_the_home_directory(run, env, tmp_path, which):
    home = Path(env["HOME"])
    (home / "sub").mkdir()
    (home / ".ssh").mkdir()
    (home / ".ssh" / "id_rsa").write_text("key")
    (home / "manifest.json").write_text("{}")
    target = _floor_targets(home, tmp_path)[which]
    before = snapshot(home)
    result = run("prune", target, "--artifact", "wheel", "--profile", "python-release",
                 "--force", "--yes", "--json")
    assert result.returncode == 2, result.stderr
    assert json.loads(result.stdout)["error"]["kind"] == "refused"
    assert "--force" in result.stderr
    assert snapshot(home) == before


# The root and mount points are asked about directly: a command line
# aimed at them is no thing for a test to try.
@pytest.mark.parametrize("target", ["/", "/tmp/..", "//", "/proc", "/proc/"])
def test_the_floor_covers_the_root_and_mount_points(target):
    from tarvek.skills.cli import release
    from tarvek.skills.cli.common import Refused

    with pytest.raises(Refused, match="--force"):
        release._refuse_the_floor(Path(target))


# --------------------------------------------------------------------------
# Concurrent runs


def _install(env, name, project):
    return subprocess.Popen([sys.executable, "-m", "tarvek.skills", "install", name, "--cwd",
                             str(project)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)


@pytest.mark.slow
def test_concurrent_installs_into_one_skills_directory(env, tmp_path):
    failures, contents = [], set()
    for round_ in range(60):
        project = tmp_path / f"p{round_}"
        project.mkdir()
        runs = [_install(env, name, project) for name in ("alpha", "beta")]
        for process in runs:
            _, err = process.communicate(timeout=120)
            if process.returncode != 0:
                failures.append((round_, err))
        skills = project / ".claude" / "skills"
        contents.add(tuple(sorted(p.name for p in skills.iterdir())))
    assert failures == []
    assert contents == {(records.RECORDS, "alpha", "beta")}
