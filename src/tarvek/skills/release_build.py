"""Release admission for packages that ship skill templates of their own.

The setuptools commands (`setuptools_commands`) and the hatchling build hook
(`hatchling_hook`) stage a copy of a package's templates tree for a wheel or
an sdist and hand it to `prune_staged_templates`, which

- chooses the build profile (`build_record.choose_profile`: the packager's
  own setting, then TARVEK_SKILL_PROFILE, then the profile recorded in the
  sdist the build runs from, then "dev" with a warning);
- lets `tarvek.skills.packaging.prune_templates_dir` cut the copy down to
  what the package's own manifest admits, with the module's own refusals
  (an unknown profile, one without an entry for the artifact, a missing or
  broken manifest);
- writes the build record into the copy, so that the artifact carries its
  profile and where its templates lie.
"""

from __future__ import annotations

import os
import warnings
from pathlib import Path
from typing import Callable

from tarvek.skills.build_record import (PROFILE_ENV, BuildRecord, ProfileChoice, admits_every_skill,
                                       write_record)

__all__ = ["SkillMissingWarning", "SkillProfileFallbackWarning", "prune_staged_templates"]


class SkillProfileFallbackWarning(UserWarning):
    """No build profile was named, so every skill template is packaged."""


class SkillMissingWarning(UserWarning):
    """The profile admits a skill that the templates tree does not hold."""


def _admitted_but_absent(packaging, profile: str, artifact: str, manifest_dir: Path,
                         kept: list[str]) -> list[str]:
    """The declared skills that the profile admits to the artifact but the
    pruned tree does not hold (none under the profiles that admit whatever
    is there)."""
    if admits_every_skill(packaging, profile):
        return []
    manifest = packaging.load_release_manifest(manifest_dir)
    return [name for name in manifest.get("skills") or {}
            if name not in kept and packaging.skill_allowed(
                name, profile=profile, artifact=artifact, manifest=manifest,
                templates_dir=manifest_dir)]


def prune_staged_templates(target: str | os.PathLike[str], *, artifact: str,
                           manifest_templates_dir: str | os.PathLike[str],
                           templates_path: str, choice: ProfileChoice,
                           log: Callable[[str], None]) -> list[str]:
    """Prune the staged templates tree `target` for `artifact` under
    `choice`'s profile and the manifest in `manifest_templates_dir`, record
    the build in it, and return the kept skill names.

    `templates_path` is where `target` lies inside the artifact (POSIX form,
    see `BuildRecord`)."""
    from tarvek.skills import packaging

    target = Path(target)
    if not target.is_dir():
        raise FileNotFoundError(f"skill templates not found in the {artifact} tree: {target}")
    if choice.source == "default":
        warnings.warn(
            f"no build profile given, {PROFILE_ENV} is not set and the templates carry no "
            f"build record: the profile falls back to {choice.profile!r}, which keeps every "
            "skill template", SkillProfileFallbackWarning, stacklevel=3)
    manifest_dir = Path(manifest_templates_dir)
    kept = packaging.prune_templates_dir(target, profile=choice.profile, artifact=artifact,
                                         manifest_templates_dir=manifest_dir)
    missing = _admitted_but_absent(packaging, choice.profile, artifact, manifest_dir, kept)
    if missing:
        # A wheel built from an sdist has only what the sdist carried.
        warnings.warn(
            f"profile {choice.profile!r} admits {', '.join(missing)} to the {artifact}, but the "
            f"templates tree it is built from has no such skill directory", SkillMissingWarning,
            stacklevel=3)
    write_record(target, BuildRecord(profile=choice.profile, artifact=artifact,
                                     templates_path=templates_path,
                                     profile_source=choice.source))
    log(f"tarvek-skills: {choice.describe()}, artifact {artifact!r}: kept skill templates "
        f"{', '.join(kept) or '(none)'} in {target}")
    return kept
