"""Records of the skills layer."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathlib import Path


@dataclass(frozen=True, kw_only=True, slots=True, init=False)
class SkillRecord:
    """One installed skill, as discovery found it on disk."""

    name: str
    version: str
    runtime: str
    root: Path
    version_file: Path

    def __init__(self, *, name: str, version: str, runtime: str, root: Path,
                 version_file: Path) -> None:
        # What dataclass writes for a frozen record, written here so that it
        # is this module's own: discovery fills the five fields of a record
        # natively, as this does, while `SkillRecord` and this `__init__`
        # are these (src/detector/records.cpp).  Change both together.
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "version", version)
        object.__setattr__(self, "runtime", runtime)
        object.__setattr__(self, "root", root)
        object.__setattr__(self, "version_file", version_file)
