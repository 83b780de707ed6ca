"""How the command's package is put together: no module of it imports
another that imports it back, and a subcommand's module is imported only
when that subcommand runs."""

import ast
import json
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


def _modules_loaded_by(args, home, prefix="tarvek.skills.cli."):
    code = ("import sys\nfrom tarvek.skills.cli import main\nstatus = main(sys.argv[1:])\n"
            "print(); print(__import__('json').dumps(sorted(m for m in sys.modules"
            f" if m.startswith({prefix!r}))))\nsys.exit(status)")
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEK_")}
    env["HOME"] = str(home)
    result = subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                            text=True, encoding="utf-8", env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    return {m.removeprefix(prefix) for m in json.loads(result.stdout.splitlines()[-1])}


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
