"""What the tarvek-skills command promises a person and a script about its
output: text that a file name cannot reorder, exactly one JSON document
with --json, errors as one Chinese line, and shell completion scripts."""

import json
import re
import shutil
import subprocess
from importlib import metadata
from pathlib import Path

import pytest

from tarvek.skills.cli import build_parser

BIDI_CONTROLS = ["\u202e", "\u2066", "\u2067", "\u2068", "\u2069", "\u200e", "\u200f", "\u061c"]

# Words of argparse's own English messages, which must never reach the user.
ARGPARSE_ENGLISH = ("argument", "expected", "invalid choice", "unrecognized", "required",
                    "usage:", "error:")


def subcommands() -> list[str]:
    return build_parser()._subcommand_names()


def _install_skill(base: Path, name: str, version: str) -> Path:
    (base / name / "data").mkdir(parents=True)
    (base / name / "data" / "VERSION.json").write_text(json.dumps({"version": version}),
                                                      encoding="utf-8")
    return base / name


@pytest.mark.parametrize("control", BIDI_CONTROLS)
def test_bidirectional_controls_in_names_and_versions_are_escaped(run, env, control):
    skills = Path(env["HOME"]) / ".claude" / "skills"
    name, version = f"safe{control}exe.md", f"1.0{control}9"
    _install_skill(skills, name, version)
    escape = f"\\u{ord(control):04x}"
    text = run("list").stdout
    assert control not in text
    row = next(line for line in text.splitlines() if line.startswith("safe"))
    assert f"safe{escape}exe.md" in row and f"1.0{escape}9" in row
    # A script gets the name as it is.
    skill = json.loads(run("list", "--json").stdout)["skills"][0]
    assert (skill["name"], skill["version"]) == (name, version)


@pytest.mark.parametrize("control, escape", [("\x1b", "\\x1b"), ("\x7f", "\\x7f"),
                                             ("\x85", "\\x85"), ("\n", "\\x0a")])
def test_other_control_characters_are_escaped_too(run, env, control, escape):
    _install_skill(Path(env["HOME"]) / ".claude" / "skills", f"a{control}b", "1")
    lines = run("list").stdout.splitlines()
    assert len(lines) == 2 and lines[1].startswith(f"a{escape}b ")


# --------------------------------------------------------------------------
# --json: every error is the run's one JSON document


def _error_cases(tmp_path: Path, env) -> dict[str, tuple[list, int, str]]:
    templates = Path(env["TARVEK_BUILTIN_TEMPLATES_DIR"])
    a_file = tmp_path / "a-file"
    a_file.write_text("x")
    plain_dir = tmp_path / "plain"
    (plain_dir / "src").mkdir(parents=True)
    return {
        "unknown subcommand": (["nonsense"], 2, "usage"),
        "missing option": (["select"], 2, "usage"),
        "missing option value": (["select", "--artifact"], 2, "usage"),
        "missing positional": (["install"], 2, "usage"),
        "unknown profile": (["select", "--artifact", "wheel", "--profile", "nope"], 2,
                            "manifest"),
        "missing manifest": (["validate", "--templates", tmp_path], 2, "manifest"),
        "missing target": (["prune", tmp_path / "missing", "--artifact", "wheel"], 1, "os"),
        "target is a file": (["prune", a_file, "--artifact", "wheel"], 1, "os"),
        "protected target": (["prune", templates, "--artifact", "wheel"], 2, "refused"),
        "no manifest of its own": (["prune", plain_dir, "--artifact", "wheel"], 2, "refused"),
    }


@pytest.mark.parametrize("case", ["unknown subcommand", "missing option", "missing option value",
                                  "missing positional", "unknown profile", "missing manifest",
                                  "missing target", "target is a file", "protected target",
                                  "no manifest of its own"])
@pytest.mark.parametrize("json_first", [False, True])
def test_with_json_every_error_is_one_json_document(run, env, tmp_path, case, json_first):
    args, status, kind = _error_cases(tmp_path, env)[case]
    plain = run(*args)
    result = run("--json", *args) if json_first else run(*args, "--json")
    assert plain.returncode == result.returncode == status
    assert plain.stdout == ""
    # The same one line on standard error as without --json ...
    assert result.stderr == plain.stderr and result.stderr.startswith("tarvek-skills: 错误: ")
    # ... and on standard output one document, and nothing else.
    document = json.loads(result.stdout)
    assert list(document) == ["error"] and document["error"]["kind"] == kind
    message = document["error"]["message"]
    assert isinstance(message, str) and message
    assert result.stderr == f"tarvek-skills: 错误: {message}\n"


@pytest.mark.parametrize("args", [["locations"], ["validate"], ["datas"],
                                  ["select", "--artifact", "wheel"], ["list"], ["outdated"]])
def test_json_before_the_subcommand(run, args):
    before, after = run("--json", *args), run(*args, "--json")
    assert before.returncode == after.returncode == 0
    assert before.stdout == after.stdout
    assert isinstance(json.loads(before.stdout), dict)


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version(run, flag):
    result = run(flag)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"tarvek-skills {metadata.version('tarvek-skills')}\n"


# --------------------------------------------------------------------------
# Completion


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
def test_bash_completion_is_valid_and_names_every_subcommand(run, tmp_path):
    result = run("completion", "bash")
    assert result.returncode == 0 and result.stderr == ""
    script = tmp_path / "tarvek-skills.bash"
    script.write_text(result.stdout, encoding="utf-8")
    checked = subprocess.run([shutil.which("bash"), "-n", str(script)], capture_output=True,
                             text=True, timeout=60)
    assert checked.returncode == 0, checked.stderr
    names = set(subcommands())
    assert {"locations", "validate", "select", "prune", "datas", "list", "outdated", "targets",
            "install", "completion"} <= names
    words = set(re.findall(r"[\w-]+", result.stdout))
    assert names <= words


def test_zsh_completion(run):
    result = run("completion", "zsh")
    assert result.returncode == 0 and result.stdout.startswith("#compdef tarvek-skills")
    assert all(name in result.stdout for name in subcommands())


# --------------------------------------------------------------------------
# Wrong command lines


WRONG_COMMAND_LINES = [
    # missing option values
    ["select", "--artifact"], ["select", "--artifact", "wheel", "--profile"],
    ["list", "--runtime"], ["targets", "--cwd"], ["prune", "x", "--artifact", "wheel",
                                                  "--manifest-templates"],
    # unknown options and words
    ["--bogus"], ["list", "--bogus"], ["-x"], ["list", "extra"], ["locations", "--profile", "x"],
    # subcommands
    [], ["nonsense"], ["Install"],
    # unknown runtime, scope, shell
    ["list", "--runtime", "vim"], ["targets", "--runtime", "vim"], ["list", "--scope", "site"],
    ["completion", "tcsh"], ["install", "alpha", "--runtime", ""],
    # conflicting and missing options and positionals
    ["targets", "--global", "--all"], ["install", "alpha", "--all", "--global"],
    ["select"], ["prune", "x"], ["prune", "--artifact", "wheel"], ["install"], ["completion"],
    # a project directory that does not exist
    ["targets", "--cwd", "{missing}"], ["list", "--cwd", "{missing}"],
    ["install", "alpha", "--cwd", "{missing}"],
    # flags that take no value
    ["--json=1", "list"], ["list", "--json=1"], ["list", "--json="], ["--version=2"],
    ["prune", "x", "--artifact", "wheel", "--dry-run=yes"], ["--help=1"], ["-h=1"],
    ["list", "-V=1"],
]


@pytest.mark.parametrize("args", WRONG_COMMAND_LINES, ids=" ".join)
def test_wrong_command_lines_exit_2_with_one_chinese_line(run, tmp_path, args):
    args = [str(tmp_path / "missing") if a == "{missing}" else a for a in args]
    result = run(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert len(result.stderr.splitlines()) == 1
    assert result.stderr.startswith("tarvek-skills: 错误: ")
    message = result.stderr.lower()
    assert not [w for w in ARGPARSE_ENGLISH if w in message], result.stderr
    assert re.search(r"[\u4e00-\u9fff]", result.stderr.split("错误: ", 1)[1])
