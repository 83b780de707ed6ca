"""`doctor`: what is wrong with this installation, and `--fix` for what can
be cleaned."""

from __future__ import annotations


def register(command) -> None:
    pass
