"""How the command's package is put together: no module of it imports
another that imports it back, and a subcommand's module is imported only
when that subcommand runs."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tarvek.skills import cli
from tarvek.skills.cli.commands import COMMANDS

PACKAGE = Path(cli.__file__).parent


def _relative_imports(path: Path) -> set[str]:
    """The sibling modules `path` imports, wherever in the file."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(alias.name for alias in node.names)
    return found


def test_no_module_of_the_command_imports_itself_back():
    graph = {path.stem: _relative_imports(path) for path in PACKAGE.glob("*.py")}
    assert set(graph) >= {"commands", "options", "parsing", "manifest", "store"}

    def reaches(start, goal, seen):
        for module in graph.get(start, ()):
            if module == goal:
                return True
            if module not in seen:
                seen.add(module)
                if reaches(module, goal, seen):
                    return True
        return False

    assert [m for m in graph if reaches(m, m, set())] == []


def _modules_loaded_by(args, home, prefix="tarvek.skills.cli.", extra_env=None):
    code = ("import sys\nfrom tarvek.skills.cli import main\nstatus = main(sys.argv[1:])\n"
            # Printed without loading anything more (json, say).
            "print(); print(repr(sorted(m for m in sys.modules"
            f" if m.startswith({prefix!r}))))\nsys.exit(status)")
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    env["HOME"] = str(home)
    env.update(extra_env or {})
    result = subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                            text=True, encoding="utf-8", env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    return {m.removeprefix(prefix) for m in ast.literal_eval(result.stdout.splitlines()[-1])}


@pytest.mark.parametrize("args, own", [(["-V"], set()), (["--help"], set()),
                                       (["list", "--help"], {"installed"}),
                                       (["locations"], {"release"})])
def test_a_subcommand_module_is_imported_when_it_runs(tmp_path, args, own):
    loaded = _modules_loaded_by(args, tmp_path)
    assert loaded & {c.module for c in COMMANDS.values()} == own


# What only some subcommands need: front matter, the lock file, downloads,
# archives, git and the completion scripts.
HEAVY = {"yaml", "tomllib", "tomli_w", "urllib.request", "http.client", "ssl", "tarfile",
         "subprocess", "shtab"}


@pytest.mark.parametrize("args", [["-V"], ["--help"], ["list"]])
def test_the_quick_commands_load_nothing_heavy(tmp_path, args):
    assert _modules_loaded_by(args, tmp_path, prefix="") & HEAVY == set()


# What each quick command must start without, beyond HEAVY (the command
# starts within a few times `python -c pass` only so): `-V` reads the
# version the build recorded, `--help` needs argparse alone, `list` the two
# modules and its own subcommand's, none of what changes or fetches skills.
SLOW_TO_LOAD = {"importlib.metadata", "secrets", "ctypes", "zipfile", "email"}
NATIVE = {"tarvek.skills.packaging", "tarvek.skills.discovery.detector"}
CHANGES = {f"tarvek.skills.cli.{m}" for m in (
    "staging", "sources", "skill", "archive", "download", "gitsource", "lockfile", "locked",
    "store", "confirm", "records", "tree", "drift", "model")}
NOT_LOADED = {
    "-V": SLOW_TO_LOAD | NATIVE | CHANGES | {
        "argparse", "gettext", "json", "pathlib", "typing", "dataclasses", "shutil", "logging",
        "tarvek.skills.cli.parsing", "tarvek.skills.cli.output"},
    "--help": SLOW_TO_LOAD | NATIVE | CHANGES | {
        "json", "pathlib", "typing", "dataclasses", "shutil", "logging", "lzma", "bz2",
        "tarvek.skills.cli.output"},
    "list": SLOW_TO_LOAD | (CHANGES - {f"tarvek.skills.cli.{m}" for m in (
        "records", "tree", "drift", "model")}) | {"hashlib"},
}


@pytest.mark.parametrize("language", ["C.UTF-8", "en_US.UTF-8"])
@pytest.mark.parametrize("args", [["-V"], ["--help"], ["list"]])
def test_a_quick_command_loads_only_what_it_needs(tmp_path, args, language):
    loaded = _modules_loaded_by(args, tmp_path, prefix="",
                                extra_env={"LANG": language, "LC_ALL": "", "LANGUAGE": ""})
    assert loaded & NOT_LOADED[args[0]] == set()
