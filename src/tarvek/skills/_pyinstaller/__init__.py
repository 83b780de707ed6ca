"""PyInstaller support, found through the `pyinstaller40` entry point.

`pyinstaller --onefile app.py` of an app that imports `tarvek.skills.packaging`
or `tarvek.skills.discovery.detector` then needs no spec file and no options:
the hooks here add the modules those extension modules import from C++ (which
PyInstaller's import analysis cannot see), the built-in skill templates that
the build profile admits to a binary, and this distribution's metadata.  A
frozen `tarvek-skills` command also gets the subcommands' modules, which the
command imports only when they run."""

from __future__ import annotations

import os


def get_hook_dirs() -> list[str]:
    return [os.path.dirname(__file__)]
