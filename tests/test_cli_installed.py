"""list, outdated and doctor: the one model of installed skills, seen
through the command, with temporary homes and projects."""

import json
import logging
from pathlib import Path

import pytest

import tarvek.skills.discovery.detector as detector
from conftest import PROJECT_DIRS, RUNTIMES, USER_DIRS, make_templates, run_json
from tarvek.skills import cli
from tarvek.skills.cli.common import runtimes


def skill(base: Path, name: str, version_text: str | None = '{"version": "1.0"}') -> Path:
    (base / name / "data").mkdir(parents=True)
    if version_text is not None:
        (base / name / "data" / "VERSION.json").write_text(version_text, encoding="utf-8")
    return base / name


@pytest.fixture
def project(tmp_path):
    path = tmp_path / "project"
    path.mkdir()
    return path


def test_the_command_knows_the_detectors_runtimes():
    assert runtimes() == tuple(RUNTIMES)


@pytest.fixture
def everywhere(env, project, tmp_path):
    """A skill in every project and user directory, and one in an extra one."""
    home = Path(env["HOME"])
    for runtime in RUNTIMES:
        skill(project / PROJECT_DIRS[runtime], f"p-{runtime}")
        skill(home / USER_DIRS[runtime], f"u-{runtime}")
    skill(tmp_path / "extra", "x-one")


def test_list_covers_every_runtime_per_project_and_per_user(run, everywhere, project, tmp_path):
    skills = run_json(run, "list", "--cwd", project, "--skills-dir", tmp_path / "extra",
                      extra_env={"TARVEK_SKILLS_DIR": str(tmp_path / "env-extra")})["skills"]
    got = [(s["name"], s["runtime"], s["scope"]) for s in skills]
    assert got == [("x-one", "claude", "extra"),
                   *((f"p-{r}", r, "project") for r in RUNTIMES),
                   *((f"u-{r}", r, "user") for r in RUNTIMES)]
    assert skills[4]["directory"] == str(project / ".opencode/skills")


@pytest.mark.parametrize("filters, expected", [
    (["--runtime", "codex"], ["p-codex", "u-codex"]),
    (["--runtime", " OpenCode ", "--runtime", "trae-cn"],
     ["p-opencode", "p-trae-cn", "u-opencode", "u-trae-cn"]),
    (["--scope", "user", "--runtime", "claude"], ["u-claude"]),
    (["--scope", "project", "--scope", "extra"], ["x-one", *(f"p-{r}" for r in RUNTIMES)]),
])
def test_list_filters(run, everywhere, project, tmp_path, filters, expected):
    skills = run_json(run, "list", "--cwd", project, "--skills-dir", tmp_path / "extra",
                      *filters)["skills"]
    assert [s["name"] for s in skills] == expected


def test_a_project_in_the_home_directory_is_listed_once(run, env):
    home = Path(env["HOME"])
    skill(home / ".claude/skills", "only")
    skills = run_json(run, "list", "--cwd", home)["skills"]
    assert [(s["name"], s["scope"]) for s in skills] == [("only", "project")]


@pytest.mark.parametrize("bad", ["{oops", "[1, 2]", '"text"', "\udcff"])
def test_a_broken_skill_is_reported_not_hidden(run, env, project, bad):
    base = project / ".codex/skills"
    skill(base, "good")
    broken = skill(base, "bad", None)
    if bad == "\udcff":
        (broken / "data/VERSION.json").write_bytes(b'{"version": "\xff"}')
    else:
        (broken / "data/VERSION.json").write_text(bad)
    result = run("list", "--cwd", project, "--json")
    assert result.returncode == 0
    document = json.loads(result.stdout)
    assert [s["name"] for s in document["skills"]] == ["good"]
    assert [(b["name"], b["runtime"], b["scope"]) for b in document["broken"]] == [
        ("bad", "codex", "project")]
    assert document["broken"][0]["version_file"] == str(broken / "data/VERSION.json")
    assert "bad" in result.stderr and "警告" in result.stderr
    text = run("list", "--cwd", project)
    assert "good" in text.stdout and "bad" not in text.stdout and "bad" in text.stderr


class _Reworded(logging.Filter):
    """Gives discovery's records another text, as a new wording would."""

    def __init__(self):
        super().__init__()
        self.seen = 0

    def filter(self, record):
        self.seen += 1
        record.msg = "skipped a broken version file %s (%s)"
        return True


@pytest.mark.parametrize("command", ["list", "doctor"])
def test_broken_skills_are_known_by_their_record_not_its_text(
        tmp_path, home, project, monkeypatch, capsys, no_tarvek_environment, command):
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(make_templates(tmp_path / "tpl")))
    skill(project / ".codex/skills", "good")
    broken = skill(project / ".codex/skills", "bad", "{oops")
    reworded = _Reworded()
    detector._logger.addFilter(reworded)
    try:
        status = cli.main([command, "--cwd", str(project), "--json"])
    finally:
        detector._logger.removeFilter(reworded)
    assert reworded.seen == 1
    document = json.loads(capsys.readouterr().out)
    if command == "list":
        assert status == 0 and [s["name"] for s in document["skills"]] == ["good"]
        found = [(b["name"], b["version_file"]) for b in document["broken"]]
    else:
        assert status == 1
        found = [(f["message"].split("（")[0], f["path"]) for f in document["findings"]]
    assert found == [("bad", str(broken / "data/VERSION.json"))]


def test_an_empty_list_says_so(run, project):
    result = run("list", "--cwd", project)
    assert result.returncode == 0 and result.stdout.strip() == "未发现已安装的 Skill"


def test_a_linked_skill_shows_where_it_points(run, env, project, tmp_path):
    store = skill(tmp_path / "store", "alpha")
    (project / ".claude/skills").mkdir(parents=True)
    (project / ".claude/skills/alpha").symlink_to(store)
    (project / ".codex/skills").mkdir(parents=True)
    (project / ".codex/skills/alpha").symlink_to(store)
    skills = run_json(run, "list", "--cwd", project)["skills"]
    assert [(s["runtime"], s["link"]) for s in skills] == [("claude", str(store)),
                                                           ("codex", str(store))]
    assert f"-> {store}" in run("list", "--cwd", project).stdout


# The fixture templates are all at version 1.0.
@pytest.mark.parametrize("installed, outdated", [
    ("0.9", True), ("1.0", False), ("1.0.0", False), ("v1.0", False), ("0.10", True),
    ("1.1", False), ("1.0rc1", True), ("unknown", None), ("v0.0.0", True), ("banana", None),
    ("9.9.9-custom", None),
])
def test_outdated_orders_versions(run, env, project, installed, outdated):
    """None: a version that cannot be ordered, reported apart."""
    skill(project / ".claude/skills", "alpha", json.dumps({"version": installed}))
    skill(project / ".claude/skills", "not-a-template", '{"version": "0.0.1"}')
    document = run_json(run, "outdated", "--cwd", project)
    assert [(s["name"], s["version"], s["available"]) for s in document["outdated"]] == (
        [("alpha", installed, "1.0")] if outdated else [])
    assert [(s["name"], s["version"]) for s in document["unorderable"]] == (
        [("alpha", installed)] if outdated is None else [])


def test_outdated_sees_every_scope(run, env, project):
    skill(Path(env["HOME"]) / ".config/opencode/skills", "beta", '{"version": "0.1"}')
    skill(project / ".workbuddy/skills", "gamma", '{"version": "0.2"}')
    document = run_json(run, "outdated", "--cwd", project)
    assert [(s["name"], s["runtime"], s["scope"]) for s in document["outdated"]] == [
        ("gamma", "workbuddy", "project"), ("beta", "opencode", "user")]
    assert run("outdated", "--cwd", project, "--scope", "extra").stdout.strip() == \
        "所有已安装的 Skill 都是来源中最新的"


# --------------------------------------------------------------------------
# doctor


def test_doctor_on_a_clean_machine(run, project):
    result = run("doctor", "--cwd", project)
    assert result.returncode == 0, result.stdout
    assert result.stdout.splitlines()[-1] == "结论: 未发现问题"
    assert run_json(run, "doctor", "--cwd", project)["ok"] is True


def test_doctor_finds_each_kind_of_problem(run, env, project, tmp_path):
    home = Path(env["HOME"])
    skill(home / ".codex/skills", "bad", "{oops")
    (project / ".claude/skills").mkdir(parents=True)
    (project / ".claude/skills/gone").symlink_to(tmp_path / "nowhere")
    manifest = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "manifest.json"
    data = json.loads(manifest.read_text())
    del data["skills"]["gamma"]
    manifest.write_text(json.dumps(data))
    result = run("doctor", "--cwd", project, "--json",
                 extra_env={"TARVEK_SKILL_PROFILE": "release"})
    assert result.returncode == 1
    findings = json.loads(result.stdout)["findings"]
    by_check = {}
    for finding in findings:
        by_check.setdefault(finding["check"], []).append(finding)
    assert set(by_check) == {"profile", "templates", "broken", "dangling-link"}
    assert "release" in by_check["profile"][0]["message"]
    assert "gamma" in by_check["templates"][0]["message"]
    assert by_check["broken"][0]["path"] == str(home / ".codex/skills/bad/data/VERSION.json")
    assert by_check["dangling-link"][0]["path"] == str(project / ".claude/skills/gone")
    text = run("doctor", "--cwd", project, extra_env={"TARVEK_SKILL_PROFILE": "release"})
    assert text.returncode == 1 and text.stdout.splitlines()[-1] == "结论: 发现 4 个问题"


@pytest.mark.parametrize("manifest, fragment", [
    (None, "manifest.json"), (b"\xff", "不是有效的 UTF-8"), (b"[" * 100000, "嵌套过深")])
def test_doctor_reports_an_unreadable_manifest(run, env, project, manifest, fragment):
    path = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "manifest.json"
    if manifest is None:
        path.unlink()
    else:
        path.write_bytes(manifest)
    result = run("doctor", "--cwd", project, "--json")
    assert result.returncode == 1
    findings = json.loads(result.stdout)["findings"]
    assert [f["check"] for f in findings] == ["templates"]
    assert fragment in findings[0]["message"]
