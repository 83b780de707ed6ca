"""Shell completion, tested in the real shells: the scripts `tarvek-skills
completion bash|zsh|fish` writes complete subcommands and the values of
options and positionals (runtimes, scopes, profiles, artifacts, shells,
and skill names, built-in and installed, asked of the command as it
completes).  A shell that is not installed is skipped."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import RUNTIMES, run_json

# zsh completes only in an interactive shell: drive one on a pseudo-terminal
# (zsh/zpty), type the line and a TAB, and collect every match the
# completion system adds (compadd is wrapped to write them to a file).
ZSH_DRIVER = r"""
zmodload zsh/zpty
zpty comp zsh -f -i
# The prompt is written apart, so that the echo of this line never matches it.
zpty -w comp 'PS1="PRO""MPT> " RPS1=""; setopt nobeep'
zpty -w comp "fpath=(${1} \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w comp 'compadd() { local -a hits; builtin compadd -O hits "$@";'\
' print -rl -- $hits >> '"${3}"'; builtin compadd "$@"; }'
# A line typed ahead while the set-up runs may be lost: wait until the line
# editor shows its prompt after the set-up, then type.
zpty -w comp 'print __READ""Y__'
zpty -r comp out '*__READY__*'
zpty -r comp out '*PROMPT> *'
zpty -w -n comp "${2}"$'\t'
zpty -w -n comp $'\C-u'
zpty -w comp 'print __EN""D__'
zpty -r comp out '*__END__*'
zpty -d comp
"""


@pytest.fixture
def shell_env(tmp_path, env):
    """The command on PATH as `tarvek-skills`, a project with Claude Code
    and alpha installed in it; (environment, project)."""
    wrapper = Path(env["PATH"]) / "tarvek-skills"
    wrapper.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tarvek.skills "$@"\n')
    wrapper.chmod(0o755)
    project = tmp_path / "project"
    (project / ".claude").mkdir(parents=True)
    env["PATH"] = f"{env['PATH']}:/usr/bin:/bin"
    return env, project


def _script(run, shell, project, directory: Path) -> Path:
    result = run("completion", shell, cwd=project)
    assert result.returncode == 0, result.stderr
    name = {"bash": "tarvek-skills.bash", "zsh": "_tarvek-skills",
            "fish": "tarvek-skills.fish"}[shell]
    path = directory / name
    path.write_text(result.stdout)
    return path


def complete(shell: str, script: Path, line: str, env, cwd) -> set[str]:
    """The words `shell` offers when TAB is pressed at the end of `line`."""
    if shell == "bash":
        words = line.split(" ")
        code = (f"source {script}\nCOMP_WORDS=({' '.join(repr(w) for w in words)})\n"
                f"COMP_CWORD={len(words) - 1}\nCOMP_LINE={line!r}\nCOMP_POINT={len(line)}\n"
                "_shtab_tarvek_skills\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n")
        command = ["bash", "--norc", "--noprofile", "-c", code]
    elif shell == "fish":
        command = ["fish", "--no-config", "-c", f"source {script}; complete -C {line!r}"]
    else:
        driver = script.parent / "drive.zsh"
        driver.write_text(ZSH_DRIVER)
        matches = script.parent / "matches"
        matches.write_text("")
        command = ["zsh", "-f", str(driver), str(script.parent), line, str(matches)]
    result = subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd,
                            timeout=60, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    if shell == "zsh":
        return set(matches.read_text().split())
    return {line.split("\t")[0] for line in result.stdout.splitlines() if line}


SKILLS = ["alpha", "beta", "gamma"]  # the test templates
CASES = [
    ("tarvek-skills ins", {"install"}, "exact"),
    ("tarvek-skills install --runtime ", {*RUNTIMES, "all"}, "exact"),
    ("tarvek-skills list --runtime ", set(RUNTIMES), "exact"),
    ("tarvek-skills list --scope ", {"project", "user", "extra"}, "exact"),
    ("tarvek-skills select --profile ", {"dev", "internal", "python-release",
                                         "binary-minimal", "binary-full"}, "exact"),
    ("tarvek-skills select --artifact ", {"sdist", "wheel", "binary"}, "exact"),
    ("tarvek-skills completion ", {"bash", "zsh", "fish"}, "exact"),
    # Skill names: installed ones for remove and update, built-in and
    # installed ones for info, built-in ones (and paths) for install.
    ("tarvek-skills remove ", {"mine"}, "exact"),
    ("tarvek-skills rm ", {"mine"}, "exact"),
    ("tarvek-skills info ", {*SKILLS, "mine"}, "exact"),
    ("tarvek-skills install ", set(SKILLS), "includes"),
]


@pytest.mark.parametrize("shell", ["bash", "zsh", "fish"])
def test_completion_in_the_real_shell(run, tmp_path, shell_env, shell):
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    env, project = shell_env
    mine = tmp_path / "mine"
    (mine / "data").mkdir(parents=True)
    (mine / "SKILL.md").write_text("---\nname: mine\ndescription: mine\n---\n")
    run_json(run, "install", mine, "--cwd", project)
    scripts = tmp_path / "scripts"
    scripts.mkdir()
    script = _script(run, shell, project, scripts)
    failures = []
    for line, expected, how in CASES:
        offered = complete(shell, script, line, env, project)
        if (offered != expected) if how == "exact" else not expected <= offered:
            failures.append((line, sorted(offered)))
    assert failures == []
