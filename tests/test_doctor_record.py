"""doctor judges the templates against the build record they carry: what
the build left out is no problem, what it admitted must be there."""

import shutil
from pathlib import Path

import pytest

from conftest import run_json
from tarvek.skills import packaging
from tarvek.skills.build_record import BuildRecord, write_record


@pytest.fixture
def templates(env):
    return Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])


def _built(templates: Path, profile: str, artifact: str) -> None:
    packaging.prune_templates_dir(templates, profile=profile, artifact=artifact,
                                  manifest_templates_dir=templates)
    write_record(templates, BuildRecord(profile, artifact, "tarvek/skills/templates",
                                        "environment"))


@pytest.mark.parametrize("profile, artifact", [("python-release", "wheel"),
                                               ("python-release", "sdist"),
                                               ("binary-minimal", "binary"),
                                               ("dev", "wheel")])
def test_a_correct_build_is_healthy(run, templates, tmp_path, profile, artifact):
    _built(templates, profile, artifact)
    document = run_json(run, "doctor", "--cwd", tmp_path)
    assert document["ok"] is True, document["findings"]
    assert (document["profile"], document["artifact"]) == (profile, artifact)
    assert document["record"]["templates_path"] == "tarvek/skills/templates"
    lines = run("doctor", "--cwd", tmp_path).stdout.splitlines()
    assert lines[0] == f"构建 profile: {profile}（构建记录，产物类型 {artifact}）"


def test_without_a_record_the_profile_is_unknown(run, templates, tmp_path):
    # A source tree: checked as one, the profile is not guessed.
    document = run_json(run, "doctor", "--cwd", tmp_path)
    assert document["ok"] is True and document["profile"] is None
    assert run("doctor", "--cwd", tmp_path).stdout.splitlines()[0] == (
        "构建 profile: 未知（模板目录中没有构建记录）")
    # A pruned tree without a record: its missing skills are problems then.
    packaging.prune_templates_dir(templates, profile="python-release", artifact="sdist",
                                  manifest_templates_dir=templates)
    assert run("doctor", "--cwd", tmp_path).returncode == 1


def test_missing_admitted_and_present_refused_skills_are_problems(run, templates, tmp_path):
    _built(templates, "python-release", "wheel")  # alpha, beta
    shutil.rmtree(templates / "beta")
    (templates / "gamma").mkdir()  # gamma is admitted to no release artifact
    (templates / "gamma" / "SKILL.md").write_text("# gamma\n")
    document = run_json(run, "doctor", "--cwd", tmp_path, status=1)
    messages = [f["message"] for f in document["findings"]]
    assert messages == [
        "发版清单: manifest 声明了不存在的模板目录: beta",
        "发版清单: 构建记录的 profile python-release（产物类型 wheel）不准入的 Skill 在模板目录中: "
        "gamma"]


def test_a_broken_record_is_a_problem(run, templates, tmp_path):
    (templates / "build-record.json").write_text("[]")
    document = run_json(run, "doctor", "--cwd", tmp_path, status=1)
    assert [f["check"] for f in document["findings"]] == ["templates"]
    assert "构建记录不是 JSON 对象" in document["findings"][0]["message"]


def test_the_environment_profile_is_shown_apart_from_the_record(run, templates, tmp_path):
    _built(templates, "python-release", "wheel")
    result = run("doctor", "--cwd", tmp_path,
                 extra_env={"TARVEK_SKILL_PROFILE": "binary-full"})
    assert result.returncode == 0
    assert "环境变量 TARVEK_SKILL_PROFILE: binary-full（用于下一次构建）" in result.stdout
    first = result.stdout.splitlines()[0]
    assert first == "构建 profile: python-release（构建记录，产物类型 wheel）"
