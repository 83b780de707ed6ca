"""One contract for errors and confirmations: the same status for the same
mistake in every subcommand, choices checked against what the modules know,
--json honoured by --help and --version, a closed pipe that is no error, a
late Ctrl-C that still ends with 130, and mass deletions that ask first."""

import json
import os
import pty
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import default_signals, make_templates, run_json, snapshot


def test_a_name_that_is_no_template_is_wrong_usage(run, tmp_path):
    result = run("install", "nosuch", "--cwd", tmp_path, "--json")
    assert result.returncode == 2
    message = json.loads(result.stdout)["error"]["message"]
    assert "nosuch" in message and all(n in message for n in ("alpha", "beta", "gamma"))


@pytest.mark.parametrize("args, hint", [(["install", "alpah"], "alpha"),
                                        (["update", "alpah"], "alpha"),
                                        (["remove", "alpah"], "alpha"),
                                        (["info", "alpah"], "alpha"),
                                        (["instal", "alpha"], "install"),
                                        (["list", "--runtime", "cladue"], "claude")])
def test_a_mistyped_name_gets_a_suggestion(run, tmp_path, args, hint):
    run_json(run, "install", "alpha", "--cwd", tmp_path, "--runtime", "claude")
    result = run(*args, "--cwd", tmp_path)
    assert result.returncode in (1, 2)
    assert f"是否想输入: {hint}" in result.stderr


@pytest.mark.parametrize("args", [["select"], ["prune", "{copy}", "--dry-run"],
                                  ["verify", "{copy}"]])
@pytest.mark.parametrize("artifact", ["whl", "Wheel", ""])
def test_an_unknown_artifact_is_refused_listing_the_known_ones(run, tmp_path, args, artifact):
    copy = make_templates(tmp_path / "copy")
    before = snapshot(copy)
    result = run(*[str(copy) if a == "{copy}" else a for a in args], "--artifact", artifact,
                 "--profile", "dev", "--json")
    assert result.returncode == 2, result.stderr
    error = json.loads(result.stdout)["error"]
    assert error["kind"] == "usage" and "sdist、wheel、binary" in error["message"]
    assert snapshot(copy) == before


def test_an_unknown_profile_in_the_environment_is_told(run):
    result = run("locations", "--json", extra_env={"TARVEK_SKILL_PROFILE": "bogus"})
    assert result.returncode == 0 and json.loads(result.stdout)["profile"] == "bogus"
    assert "bogus" in result.stderr and result.stderr.startswith("tarvek-skills: 警告: ")
    assert run("locations", extra_env={"TARVEK_SKILL_PROFILE": "binary-full"}).stderr == ""


@pytest.mark.parametrize("args", [["--json", "-V"], ["-V", "--json"], ["--json", "--help"],
                                  ["list", "--help", "--json"], ["--json", "install", "-h"]])
def test_help_and_version_honour_json(run, args):
    result = run(*args)
    assert result.returncode == 0 and result.stderr == ""
    document = json.loads(result.stdout)
    if "-V" in args:
        assert document["program"] == "tarvek-skills" and document["version"]
    else:
        assert document["help"].startswith("用法: tarvek-skills")


def test_a_reader_that_stops_early_is_no_error(env, tmp_path):
    skills = Path(env["HOME"]) / ".claude" / "skills"
    for i in range(3000):
        (skills / f"skill-{i:04}" / "data").mkdir(parents=True)
        (skills / f"skill-{i:04}" / "data" / "VERSION.json").write_text('{"version": "1"}')
    process = subprocess.Popen([sys.executable, "-m", "tarvek.skills", "list"], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()  # as `| head -1` does
    err = process.stderr.read()
    assert process.wait(timeout=60) == 0 and err == b""


# A signal that arrives once the work is done, as the process ends.
_LATE_SIGNAL = """
import os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
from tarvek.skills import cli
real = cli.main
def main(argv=None):
    status = real(argv)
    os.kill(os.getpid(), signal.{name})
    return status
cli.main = main
sys.argv[1:] = ["locations"]
cli.console_main()
"""


@pytest.mark.parametrize("name, status, message", [("SIGINT", 130, "已中断"),
                                                   ("SIGTERM", 143, "已被信号 SIGTERM 终止")])
def test_a_signal_during_shutdown_ends_with_the_status_and_message(env, name, status, message):
    result = subprocess.run([sys.executable, "-c", _LATE_SIGNAL.format(name=name)], env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=60, preexec_fn=default_signals)
    assert result.returncode == status, result.stderr
    assert result.stderr == f"tarvek-skills: 错误: {message}\n"


# --------------------------------------------------------------------------
# Mass deletions ask first


@pytest.fixture
def installed_everywhere(run):
    run_json(run, "install", "alpha", "--all")


def _prune_copy(tmp_path: Path) -> Path:
    copy = make_templates(tmp_path / "copy")
    (copy / "manifest.json").unlink()  # only --force prunes it
    return copy


MASS = {
    "remove --all": lambda tmp_path: ["remove", "alpha", "--all"],
    "remove --runtime all": lambda tmp_path: ["remove", "alpha", "--runtime", "all"],
    "prune --force": lambda tmp_path: ["prune", _prune_copy(tmp_path), "--artifact", "wheel",
                                       "--profile", "python-release", "--force",
                                       "--manifest-templates", tmp_path / "templates"],
}


@pytest.mark.parametrize("case", list(MASS))
def test_without_a_terminal_a_mass_deletion_needs_yes(run, tmp_path, installed_everywhere,
                                                      case):
    args = MASS[case](tmp_path)
    before = snapshot(tmp_path)
    result = run(*args, "--json")
    assert result.returncode == 2 and "--yes" in result.stderr
    assert json.loads(result.stdout)["error"]["kind"] == "refused"
    assert snapshot(tmp_path) == before
    assert run(*args, "--yes").returncode == 0
    assert snapshot(tmp_path) != before


def _on_a_terminal(env, args, answer: bytes) -> tuple[int, str]:
    """Run the command with a pseudo-terminal as its standard input and
    error, answer the question, and return (status, what it showed)."""
    leader, follower = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "tarvek.skills", *map(str, args)],
                               env=env, stdin=follower, stdout=subprocess.PIPE,
                               stderr=follower, start_new_session=True)
    os.close(follower)
    shown = b""
    deadline = time.monotonic() + 60
    while b"[y/N]" not in shown and time.monotonic() < deadline:
        if select.select([leader], [], [], 0.1)[0]:
            try:
                shown += os.read(leader, 4096)
            except OSError:
                break
    os.write(leader, answer)
    process.stdout.read()
    status = process.wait(timeout=60)
    try:
        while select.select([leader], [], [], 0.1)[0]:
            shown += os.read(leader, 4096)
    except OSError:
        pass
    os.close(leader)
    return status, shown.decode("utf-8", "replace")


@pytest.mark.parametrize("case", ["remove --all", "prune --force"])
@pytest.mark.parametrize("answer, status", [(b"n\n", 1), (b"\n", 1), (b"y\n", 0)])
def test_on_a_terminal_a_mass_deletion_asks(run, env, tmp_path, installed_everywhere, case,
                                            answer, status):
    args = MASS[case](tmp_path)
    before = snapshot(tmp_path)
    got, shown = _on_a_terminal(env, args, answer)
    assert got == status, shown
    assert "[y/N]" in shown
    if case == "remove --all":
        assert str(Path(env["HOME"]) / ".claude" / "skills" / "alpha") in shown
    else:
        assert "gamma" in shown and "beta/scripts/old.pyc" in shown
    assert (snapshot(tmp_path) == before) is (status != 0)


def test_dry_runs_never_ask(run, tmp_path, installed_everywhere):
    for case in MASS.values():
        assert run(*case(tmp_path), "--dry-run").returncode == 0
