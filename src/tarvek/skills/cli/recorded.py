"""What `verify` and `doctor` share about built templates trees: the build
record a tree carries (which profile and artifact it was built for, see
`tarvek.skills.build_record`) and the judgement of a tree against a profile
and artifact: which skills are there but not admitted, and which admitted
ones are missing."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from tarvek.skills.build_record import RECORD_FILENAME, BuildRecord, BuildRecordError, read_record

from .common import ManifestError, packaging
from .manifest import skill_dir_names
from .i18n import _

__all__ = ["RECORD_FILENAME", "Judgement", "judge", "read"]

# validate's text for a declared skill without a directory; in a pruned tree
# that is by design for every skill the build did not admit.
DECLARED_WITHOUT_DIRECTORY = "manifest 声明了不存在的模板目录: "


def read(templates: Path) -> BuildRecord | None:
    """The build record in `templates`, or None; a record that cannot be
    used is a manifest error (exit 2)."""
    try:
        return read_record(templates)
    except BuildRecordError as exc:
        raise ManifestError(str(exc)) from None


def describe(record: BuildRecord | None) -> str:
    if record is None:
        return _("未知（模板目录中没有构建记录）")
    return _("{profile}（构建记录，产物类型 {artifact}）").format(
               profile=record.profile, artifact=record.artifact)


@dataclass
class Judgement:
    present: list[str]
    admitted: list[str]
    declared: list[str]

    @property
    def not_admitted(self) -> list[str]:
        return [n for n in self.present if n not in self.admitted]

    @property
    def missing(self) -> list[str]:
        return [n for n in self.admitted if n not in self.present]


def judge(templates: Path, manifest_dir: Path, profile: str, artifact: str) -> Judgement:
    """The skill directories in `templates` against what `profile` admits to
    `artifact` under the manifest in `manifest_dir`: every declared skill and
    every present one is asked."""
    pkg = packaging()
    manifest = pkg.load_release_manifest(manifest_dir)
    present = skill_dir_names(templates)
    declared = list(manifest.get("skills") or {}) if isinstance(manifest, dict) else []
    candidates = list(dict.fromkeys([*declared, *present]))
    admitted = [n for n in candidates if pkg.skill_allowed(
        n, profile=profile, artifact=artifact, manifest=manifest, templates_dir=manifest_dir)]
    return Judgement(present, admitted, declared)
