"""The tarvek-skills command, run as a person or a script would run it.

Every test but the interrupted-install ones runs the installed command in a
subprocess, with a temporary home, a temporary templates tree of its own
(through TARVEK_BUILTIN_TEMPLATES_DIR) and a PATH holding only fake commands.
"""

import json
import os
import shutil
import unicodedata
from importlib import metadata
from pathlib import Path

import pytest

from conftest import ADMITTED, MANIFEST, RUNTIMES, make_templates, run_json, snapshot
from tarvek.skills import cli, packaging

SUBCOMMANDS = ["locations", "validate", "select", "prune", "datas", "list", "targets", "install",
               "remove", "update"]


def display_column(line: str, text: str) -> int:
    prefix = line[: line.index(text)]
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in prefix)


# --------------------------------------------------------------------------


@pytest.mark.parametrize("args", [["--help"], *([s, "--help"] for s in SUBCOMMANDS)])
def test_help_of_every_subcommand(run, args):
    result = run(*args)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("用法: tarvek-skills")
    for english in ("usage:", "options:", "positional arguments", "show this help"):
        assert english not in result.stdout
    if args[0] != "--help":
        assert "--json" in result.stdout


# The version the build recorded, answered before any parsing, and through
# the parser when more follows: the installed metadata's either way.
@pytest.mark.parametrize("args", [["--version"], ["-V", "list"]])
def test_version_from_the_installed_script(run, args):
    result = run(*args, script=True)
    assert result.returncode == 0
    assert result.stdout.split() == ["tarvek-skills", metadata.version("tarvek-skills")]


@pytest.mark.parametrize("args", [
    [], ["nonsense"], ["select"], ["select", "--artifact"], ["locations", "--bogus"],
    ["targets", "--global", "--all"], ["targets", "--all", "--runtime", "codex"],
    ["install", "alpha", "--all", "--cwd", "."], ["validate", "--templates", ""],
])
def test_wrong_usage_exits_2_with_one_chinese_line(run, args):
    result = run(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("tarvek-skills: 错误: ")


@pytest.mark.parametrize("profile_env, profile", [(None, "dev"), ("  binary-full ", "binary-full")])
def test_locations(run, env, profile_env, profile):
    extra = {"TARVEK_SKILL_PROFILE": profile_env} if profile_env else {}
    document = run_json(run, "locations", extra_env=extra)
    assert document == {"central_skills_dir": str(Path(env["HOME"]) / ".tarvek" / "skills"),
                        "builtin_templates_dir": env["TARVEK_BUILTIN_TEMPLATES_DIR"],
                        "profile": profile}
    lines = run("locations", extra_env=extra).stdout.splitlines()
    assert len(lines) == 4
    values = [lines[0].split()[-1], *document.values()]
    assert len({display_column(line, v) for line, v in zip(lines, values)}) == 1


def test_validate_consistent_tree(run):
    assert run_json(run, "validate")["problems"] == []
    result = run("validate")
    assert result.returncode == 0 and result.stdout.splitlines()[1:] == ["未发现问题"]
    assert result.stdout.startswith("检查: 源模板树 ")


def test_validate_reports_every_problem(run, env):
    templates = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    (templates / "stray").mkdir()
    (templates / "alpha" / "SKILL.md").unlink()
    manifest = json.loads(json.dumps(MANIFEST))
    manifest["skills"]["ghost"] = {"tier": "x", "reason": "y"}
    manifest["skills"]["gamma"]["reason"] = " "
    (templates / "manifest.json").write_text(json.dumps(manifest))
    expected = ["模板目录未在 manifest 声明: stray", "manifest 声明了不存在的模板目录: ghost",
                "alpha: 发版准入 Skill 必须包含 SKILL.md", "gamma: reason 不能为空"]
    document = run_json(run, "validate", status=1)
    assert document["templates_dir"] == str(templates) and document["problems"] == expected
    assert document["check"] == "source-tree"
    result = run("validate")
    assert result.returncode == 1 and result.stdout.splitlines()[2:6] == expected
    # A declared skill that is missing points to the check for built artifacts.
    assert "tarvek-skills verify" in result.stdout.splitlines()[-1]
    del manifest["skills"]["ghost"]
    (templates / "manifest.json").write_text(json.dumps(manifest))
    assert run_json(run, "validate", status=1)["hint"] is None


@pytest.mark.parametrize("manifest_text, message", [
    (None, "未找到 Skill 发版清单: "), ("{", "Skill 发版清单 JSON 无效: "),
    ("[]", "Skill 发版清单根节点必须是对象"),
])
@pytest.mark.parametrize("args", [["validate"], ["select", "--artifact", "wheel",
                                                 "--profile", "python-release"]])
def test_bad_manifest_exits_2(run, env, manifest_text, message, args):
    manifest = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "manifest.json"
    if manifest_text is None:
        manifest.unlink()
    else:
        manifest.write_text(manifest_text)
    result = run(*args, "--json")
    assert result.returncode == 2 and message in result.stderr
    assert json.loads(result.stdout)["error"]["kind"] == "manifest"
    assert message in json.loads(result.stdout)["error"]["message"]


@pytest.mark.parametrize("profile, artifact", list(ADMITTED))
def test_select(run, profile, artifact):
    document = run_json(run, "select", "--artifact", artifact, "--profile", profile)
    assert document["skills"] == ADMITTED[profile, artifact]
    assert (document["profile"], document["artifact"]) == (profile, artifact)
    assert document["profile_source"] == "option"
    # The profile may come from the environment instead.
    env_profile = {"TARVEK_SKILL_PROFILE": f" {profile} "}
    lines = run("select", "--artifact", artifact, extra_env=env_profile).stdout.splitlines()
    assert lines == [f"profile: {profile}（来自环境变量 TARVEK_SKILL_PROFILE）", "Skill",
                     *ADMITTED[profile, artifact]]


@pytest.mark.parametrize("subcommand, default", [("select", "dev"), ("datas", "binary-minimal")])
@pytest.mark.parametrize("option, environment, source", [
    ("binary-full", "python-release", "option"),
    ("", "binary-full", "environment"),
    (None, "  ", "default"),
])
def test_the_profile_used_and_where_it_came_from(run, subcommand, default, option, environment,
                                                 source):
    args = ["--artifact", "binary"] if subcommand == "select" else []
    if option is not None:
        args += ["--profile", option]
    extra = {"TARVEK_SKILL_PROFILE": environment}
    # datas builds for the minimal binary unless told otherwise: the
    # environment does not choose its profile.
    if subcommand == "datas" and source == "environment":
        source = "default"
    expected = {"option": option, "environment": environment.strip(), "default": default}[source]
    document = run_json(run, subcommand, *args, extra_env=extra)
    assert (document["profile"], document["profile_source"]) == (expected, source)
    first = run(subcommand, *args, extra_env=extra).stdout.splitlines()[0]
    origin = {"option": "来自 --profile", "environment": "来自环境变量 TARVEK_SKILL_PROFILE",
              "default": "默认"}[source]
    assert first.startswith(f"profile: {expected}（{origin}")


@pytest.mark.parametrize("args, sentence", [
    (["select", "--artifact", "wheel", "--profile", "python-release"], "没有准入的 Skill"),
    (["datas", "--profile", "dev", "--templates", "{empty}"], "没有需要打包的文件"),
])
def test_an_empty_selection_is_said_in_words(run, env, tmp_path, args, sentence):
    templates = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    manifest = {"skills": {n: {"tier": "t", "reason": "r"} for n in ("alpha", "beta", "gamma")}}
    (templates / "manifest.json").write_text(json.dumps(manifest))
    (tmp_path / "empty").mkdir()
    args = [str(tmp_path / "empty") if a == "{empty}" else a for a in args]
    assert run(*args).stdout.splitlines()[1:] == [sentence]


@pytest.mark.parametrize("profile, artifact, message", [
    ("release", "wheel", "未知 Skill 构建 profile: release"),
    ("binary-full", "wheel", "profile 'binary-full' 不支持产物类型 'wheel'"),
])
@pytest.mark.parametrize("subcommand", ["select", "prune"])
def test_bad_profile_exits_2(run, tmp_path, env, profile, artifact, message, subcommand):
    copy = tmp_path / "copy"
    shutil.copytree(env["TARVEK_BUILTIN_TEMPLATES_DIR"], copy)
    target = [copy] if subcommand == "prune" else []
    result = run(subcommand, *target, "--artifact", artifact, "--profile", profile)
    assert result.returncode == 2 and message in result.stderr
    assert {p.name for p in packaging.list_template_dirs(copy)} == {"alpha", "beta", "gamma"}


@pytest.mark.parametrize("profile, artifact", list(ADMITTED))
def test_prune_and_its_dry_run_agree(run, tmp_path, env, profile, artifact):
    real, dry = tmp_path / "real", tmp_path / "dry"
    for copy in (real, dry):
        shutil.copytree(env["TARVEK_BUILTIN_TEMPLATES_DIR"], copy)
    before = snapshot(dry)
    preview = run_json(run, "prune", dry, "--artifact", artifact, "--profile", profile,
                       "--dry-run")
    assert snapshot(dry) == before
    done = run_json(run, "prune", real, "--artifact", artifact, "--profile", profile)
    kept = ADMITTED[profile, artifact]
    assert done["kept"] == preview["kept"] == kept
    assert preview["would_delete"] == sorted({"alpha", "beta", "gamma"} - set(kept))
    assert sorted(p.name for p in real.iterdir()) == sorted([*kept, "manifest.json"])
    assert not [p for p in real.rglob("*") if p.suffix == ".pyc" or p.name == "__pycache__"]
    lines = run("prune", dry, "--artifact", artifact, "--profile", profile,
                "--dry-run").stdout.splitlines()
    assert [line.split()[0] for line in lines[1:]] == preview["would_delete"] + preview["junk"]


def _protected_targets(env):
    own = Path(packaging.__file__).resolve().parent / "templates"
    source = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    return {"own": own, "inside own": own / "alpha", "above own": own.parent.parent,
            "manifest source": source, "inside source": source / "alpha",
            "above source": source.parent}


@pytest.mark.parametrize("which", ["own", "inside own", "above own", "manifest source",
                                   "inside source", "above source"])
@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]])
def test_prune_refuses_the_installed_and_the_source_templates(run, env, tmp_path, which,
                                                              dry_run):
    target = _protected_targets(env)[which]
    before = snapshot(tmp_path)
    result = run("prune", target, "--artifact", "wheel", "--profile", "python-release",
                 *dry_run)
    assert result.returncode == 2 and "拒绝修剪" in result.stderr
    assert snapshot(tmp_path) == before


def _copy_with_strangers(env, copy: Path, strangers) -> Path:
    shutil.copytree(env["TARVEK_BUILTIN_TEMPLATES_DIR"], copy)
    for name in strangers:
        (copy / name / "sub").mkdir(parents=True)
        (copy / name / "sub" / "file.txt").write_text(name)
    return copy


@pytest.mark.parametrize("strangers", [[".git"], ["docs", "src"]])
@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]])
def test_prune_refuses_to_delete_what_is_no_skill_template(run, env, tmp_path, strangers,
                                                          dry_run):
    copy = _copy_with_strangers(env, tmp_path / "copy", strangers)
    before = snapshot(copy)
    args = ["prune", copy, "--artifact", "wheel", "--profile", "python-release", *dry_run]
    result = run(*args, "--json")
    assert result.returncode == 2 and snapshot(copy) == before
    assert "--force" in result.stderr and "不是 Skill 模板" in result.stderr
    assert all(name in result.stderr for name in strangers)
    assert json.loads(result.stdout)["error"]["kind"] == "refused"
    # --force says the directory is what it seems: then they go like any other.
    preview = run_json(run, *args, "--force", "--yes")
    if dry_run:
        assert preview["would_delete"] == sorted([*strangers, "gamma"])
        assert snapshot(copy) == before
    else:
        assert sorted(p.name for p in copy.iterdir()) == ["alpha", "beta", "manifest.json"]


def test_prune_keeps_a_stranger_that_is_admitted_or_a_skill(run, env, tmp_path):
    copy = _copy_with_strangers(env, tmp_path / "copy", [])
    # A directory that pruning would delete but that holds only data/ is a
    # skill template all the same; __pycache__ goes as junk.
    (copy / "delta" / "data").mkdir(parents=True)
    (copy / "__pycache__").mkdir()
    done = run_json(run, "prune", copy, "--artifact", "wheel", "--profile", "python-release")
    assert done["kept"] == ["alpha", "beta"]
    assert sorted(p.name for p in copy.iterdir()) == ["alpha", "beta", "manifest.json"]


@pytest.mark.parametrize("profile", ["python-release", "dev"])
@pytest.mark.parametrize("dry_run", [[], ["--dry-run"]])
def test_prune_refuses_a_target_without_its_own_manifest(run, env, tmp_path, profile, dry_run):
    copy = _copy_with_strangers(env, tmp_path / "copy", [])
    (copy / "manifest.json").unlink()
    (copy / "manifest.json").mkdir()  # not a manifest either
    before = snapshot(copy)
    args = ["prune", copy, "--artifact", "wheel", "--profile", profile, *dry_run]
    result = run(*args)
    assert result.returncode == 2 and snapshot(copy) == before
    assert "manifest.json" in result.stderr and "--force" in result.stderr
    assert run(*args, "--force", "--yes").returncode == 0


@pytest.mark.parametrize("which", ["own", "manifest source"])
def test_force_does_not_lift_the_protection_of_the_sources(run, env, tmp_path, which):
    target = _protected_targets(env)[which]
    before = snapshot(tmp_path)
    result = run("prune", target, "--artifact", "wheel", "--profile", "python-release",
                 "--force", "--yes")
    assert result.returncode == 2 and "拒绝修剪" in result.stderr
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("args, sentence", [
    (["--dry-run"], "不会删除任何东西"), ([], "没有保留任何 Skill"),
])
def test_an_empty_prune_is_said_in_words(run, env, tmp_path, args, sentence):
    copy = tmp_path / "copy"
    copy.mkdir()
    (copy / "manifest.json").write_text(json.dumps(MANIFEST))
    result = run("prune", copy, "--artifact", "wheel", "--profile", "python-release", *args)
    assert result.returncode == 0 and result.stdout.splitlines() == [sentence]


def _nested(depth: int) -> bytes:
    return b'{"skills": {"alpha": ' + b"[" * depth + b"]" * depth + b"}}"


_BROKEN_MANIFESTS = [
    (b'{"skills": {"alpha": "\xff"}}', "Skill 发版清单不是有效的 UTF-8 文本: "),
    (_nested(200_000), "Skill 发版清单 JSON 嵌套过深: "),
    (b'{"skills": {}, "default": []}', "Skill 发版清单的 default 必须是对象: "),
]
_MANIFEST_READERS = [
    ["validate"], ["select", "--artifact", "wheel", "--profile", "python-release"],
    ["prune", "{copy}", "--artifact", "wheel", "--profile", "python-release"],
    ["prune", "{copy}", "--artifact", "wheel", "--profile", "python-release", "--dry-run"],
    ["datas"],
]


# Validation reads no defaults: a "default" of the wrong kind is no error of it.
@pytest.mark.parametrize("manifest_bytes, message, args", [
    (*broken, args) for broken in _BROKEN_MANIFESTS for args in _MANIFEST_READERS
    if not (args == ["validate"] and "default" in broken[1])])
def test_every_manifest_error_exits_2_naming_the_manifest(run, env, tmp_path, manifest_bytes,
                                                          message, args):
    templates = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    copy = tmp_path / "copy"
    shutil.copytree(templates, copy)
    before = snapshot(copy)
    manifest = templates / "manifest.json"
    manifest.write_bytes(manifest_bytes)
    result = run(*[str(copy) if a == "{copy}" else a for a in args], "--json")
    assert result.returncode == 2, result.stderr
    assert f"{message}{manifest}" in result.stderr
    error = json.loads(result.stdout)["error"]
    assert error == {"kind": "manifest", "message": f"{message}{manifest}"}
    assert snapshot(copy) == before


@pytest.mark.parametrize("kind", ["missing", "file"])
def test_prune_of_a_missing_or_plain_target_names_it(run, tmp_path, kind):
    target = tmp_path / "not-templates"
    if kind == "file":
        target.write_text("x")
    result = run("prune", target, "--artifact", "wheel", "--profile", "python-release")
    assert result.returncode == 1 and str(target) in result.stderr


@pytest.mark.parametrize("profile, skills", [(None, ["alpha"]), ("binary-full", ["alpha", "beta"])])
def test_datas(run, env, profile, skills):
    templates = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    args = ["--profile", profile] if profile else []
    pairs = run_json(run, "datas", *args)["datas"]
    expected = [[str(templates / s / f), str(Path("tarvek/skills/templates", s, d))]
                for s in skills
                for f, d in (("SKILL.md", ""), ("data/VERSION.json", "data"),
                             ("scripts/run.py", "scripts"))]
    expected.append([str(templates / "manifest.json"), str(Path("tarvek/skills/templates"))])
    assert sorted(pairs[:-1]) == sorted(expected[:-1]) and pairs[-1] == expected[-1]
    lines = run("datas", *args).stdout.splitlines()
    assert len(lines) == len(pairs) + 2
    assert len({display_column(line, dest) for line, (_, dest) in zip(lines[2:], pairs)}) == 1


def _install_skill(base: Path, name: str, version):
    (base / name / "data").mkdir(parents=True)
    (base / name / "data" / "VERSION.json").write_text(json.dumps({"version": version}))


def test_list(run, env, tmp_path):
    home = Path(env["HOME"])
    _install_skill(home / ".claude" / "skills", "foo", "2.0")
    _install_skill(home / ".codex" / "skills", "bar", "0.3")
    _install_skill(tmp_path / "extra", "baz", 7)
    _install_skill(tmp_path / "extra", "line\nbreak", "1")
    skills = run_json(run, "list", "--skills-dir", tmp_path / "extra")["skills"]
    assert [(s["name"], s["version"], s["runtime"]) for s in skills] == [
        ("baz", "7", "claude"), ("line\nbreak", "1", "claude"), ("foo", "2.0", "claude"),
        ("bar", "0.3", "codex")]
    assert skills[2]["root"] == str(home / ".claude" / "skills" / "foo")
    assert skills[2]["version_file"] == str(home / ".claude/skills/foo/data/VERSION.json")
    # One line per skill, even for a name holding a line break.
    lines = run("list", "--skills-dir", tmp_path / "extra").stdout.splitlines()
    assert len(lines) == 5 and lines[0].split() == ["名称", "版本", "运行时", "范围", "状态",
                                                    "目录"]


def test_targets(run, env, tmp_path):
    home = Path(env["HOME"])
    project = tmp_path / "project"
    (project / ".claude").mkdir(parents=True)
    (project / ".openclaw").mkdir()
    (home / ".claude").mkdir()
    fake = Path(env["PATH"]) / "codex"
    fake.write_text("#!/bin/sh\n")
    fake.chmod(0o755)

    def targets(*args):
        return [(t["runtime"], t["path"]) for t in run_json(run, "targets", *args)["targets"]]

    assert targets("--cwd", project) == [("claude", str(project / ".claude/skills")),
                                         ("openclaw", str(project / ".openclaw/skills"))]
    assert targets("--runtime", "Codex", "--cwd", project) == [
        ("codex", str(project / ".codex/skills"))]
    assert targets("--global") == [("claude", str(home / ".claude/skills")),
                                   ("codex", str(home / ".codex/skills"))]
    assert [r for r, _ in targets("--all")] == RUNTIMES
    assert targets("--runtime", "all") == targets("--all")
    lines = run("targets", "--cwd", project).stdout.splitlines()
    assert lines[0].split() == ["运行时", "Skills", "目录"] and len(lines) == 3


def test_install_copies_the_template_without_junk(run, env, tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    document = run_json(run, "install", "beta", "--cwd", project)
    dest = project / ".claude" / "skills" / "beta"
    assert document["installed"] == [{"runtime": "claude", "path": str(dest), "replaced": False,
                                      "backup": None}]
    source = snapshot(Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "beta")
    assert snapshot(dest) == {k: v for k, v in source.items()
                              if "__pycache__" not in k and not k.endswith(".pyc")}
    assert sorted(p.name for p in dest.parent.iterdir()) == [".tarvek-installed", "beta"]


def test_install_refuses_an_existing_skill_unless_forced(run, tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    assert run("install", "alpha", "--cwd", project).returncode == 0
    skill = project / ".claude" / "skills" / "alpha"
    (skill / "SKILL.md").write_text("edited")
    (skill / "local.txt").write_text("mine")
    before = snapshot(project)
    refused = run("install", "alpha", "--cwd", project)
    assert refused.returncode == 1 and str(skill) in refused.stderr
    assert snapshot(project) == before
    document = run_json(run, "install", "alpha", "--cwd", project, "--force")
    assert document["installed"][0]["replaced"] is True
    assert (skill / "SKILL.md").read_text() == "# alpha\n" and not (skill / "local.txt").exists()
    # The edited copy is kept, where the output says.
    assert (Path(document["installed"][0]["backup"]) / "local.txt").read_text() == "mine"
    assert sorted(p.name for p in skill.parent.iterdir()) == [
        ".tarvek-backup", ".tarvek-installed", "alpha"]


def test_install_everywhere(run, env):
    home = Path(env["HOME"])
    installed = run_json(run, "install", "gamma", "--all")["installed"]
    assert len(installed) == 6
    for entry in installed:
        assert Path(entry["path"]).is_relative_to(home)
        assert (Path(entry["path"]) / "data" / "VERSION.json").is_file()


# A word that is no built-in template is read as a path: one that does not
# exist, a directory without a skill ("." and ".." here) or with skills
# without front matter (the test templates), is refused before anything is
# written.
@pytest.mark.parametrize("name, message", [
    ("../x", "来源不存在"), ("a/b", "来源不存在"), ("", "来源不能为空"),
    (".", "来源中没有 Skill"), ("..", "来源中没有 Skill"),
    ("omega", "不是内置 Skill 模板的名称"), ("alpha/", "来源不存在"),
    ("../templates", "开头没有以 --- 包围的 YAML 头信息")])
def test_install_refuses_what_is_no_source(run, tmp_path, name, message):
    project = tmp_path / "project"
    project.mkdir()
    before = snapshot(tmp_path)
    result = run("install", name, "--cwd", project, cwd=project)
    assert result.returncode == 2 and message in result.stderr
    assert snapshot(tmp_path) == before


# --------------------------------------------------------------------------
# A failed or interrupted install, in-process so that the copy can be broken.


@pytest.fixture
def in_process(tmp_path, monkeypatch, home):
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(make_templates(tmp_path / "tpl")))
    project = tmp_path / "project"
    project.mkdir()
    return project


def _break_copy_after_first_file(monkeypatch, error):
    real_copy = shutil.copy2
    copied = []

    def copy(src, dst, **kwargs):
        if copied:
            raise error
        copied.append(dst)
        return real_copy(src, dst, **kwargs)

    monkeypatch.setattr(shutil, "copy2", copy)
    return copied


@pytest.mark.parametrize("error, status", [(OSError(28, "No space left on device"), 1),
                                           (KeyboardInterrupt(), 130)])
@pytest.mark.parametrize("existing", [False, True])
def test_interrupted_copy_leaves_nothing_behind(in_process, monkeypatch, capsys, error, status,
                                                existing):
    args = ["install", "alpha", "--cwd", str(in_process), "--runtime", "claude",
            "--runtime", "codex"]
    if existing:
        assert cli.main(args) == 0
        (in_process / ".claude/skills/alpha/SKILL.md").write_text("old")
    before = snapshot(in_process)
    copied = _break_copy_after_first_file(monkeypatch, error)
    assert cli.main([*args, "--force"]) == status
    assert copied, "the copy never started"
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "Traceback" not in err
    assert snapshot(in_process) == before


def test_failed_rename_puts_the_old_skill_back(in_process, monkeypatch, capsys):
    from tarvek.skills.cli import staging

    args = ["install", "beta", "--cwd", str(in_process)]
    assert cli.main(args) == 0
    (in_process / ".claude/skills/beta/SKILL.md").write_text("old")
    before = snapshot(in_process)

    # Without an atomic exchange the old skill is parked first; the rename
    # of the new copy into place then fails.
    monkeypatch.setattr(staging, "_load_renameat2", lambda: False)
    real_rename = os.rename

    def rename(src, dst):
        if Path(src).name == "new":
            raise PermissionError(13, "Permission denied", str(src), None, str(dst))
        return real_rename(src, dst)

    monkeypatch.setattr(os, "rename", rename)
    assert cli.main([*args, "--force"]) == 1
    assert ".claude/skills/beta" in capsys.readouterr().err
    assert snapshot(in_process) == before


# --------------------------------------------------------------------------


@pytest.mark.parametrize("manifest_bytes, status, fragment", [
    (b'{"skills": {"alpha": \xff}}', 2, "不是有效的 UTF-8 文本"),
    (None, 1, "manifest.json"),  # a directory where the manifest should be
])
def test_other_failures_are_one_line(run, env, manifest_bytes, status, fragment):
    manifest = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"]) / "manifest.json"
    manifest.unlink()
    if manifest_bytes is None:
        manifest.mkdir()
    else:
        manifest.write_bytes(manifest_bytes)
    result = run("select", "--artifact", "wheel", "--profile", "python-release")
    assert result.returncode == status and fragment in result.stderr
