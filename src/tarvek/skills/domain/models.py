"""Records of the skills layer."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathlib import Path


@dataclass(frozen=True, kw_only=True, slots=True)
class SkillRecord:
    """One installed skill, as discovery found it on disk."""

    name: str
    version: str
    runtime: str
    root: Path
    version_file: Path
