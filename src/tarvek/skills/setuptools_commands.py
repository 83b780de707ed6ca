"""setuptools commands for packages that ship skill templates of their own.

A package whose templates tree (skill directories and a `manifest.json`)
lies inside it gets the same release admission as tarvek's own artifacts:
`build_py` prunes the copy staged for the wheel, `sdist` the copy staged for
the source distribution, each with `prune_templates_dir` of
`tarvek.skills.packaging`, under the manifest of the package's own templates
and a build profile that the package names::

    from setuptools import setup
    from tarvek.skills.setuptools_commands import skill_commands

    setup(cmdclass=skill_commands(
        package_templates="mypkg/skills",       # the templates inside the package
        manifest_templates_dir="src/mypkg/skills",  # the source tree with manifest.json
        profile=None,                            # None: TARVEK_SKILL_PROFILE
    ))

Both locations and the profile are required: without the manifest directory
another tree's manifest would decide, and a profile that is left out would
admit everything.  The profile is `profile`, else TARVEK_SKILL_PROFILE, else
the one recorded in the sdist the wheel is built from; when none of them
names one, the build falls back to "dev" (nothing is pruned) and says so
with a warning.  Each artifact records its profile and the templates' path
inside it (`build-record.json` in the templates directory).

The build needs setuptools, and tarvek-skills itself in `[build-system]
requires`: `tarvek-skills[setuptools]` brings both.
"""

from __future__ import annotations

import logging
import os
from pathlib import Path

try:
    from setuptools.command.build_py import build_py as _build_py
    from setuptools.command.sdist import sdist as _sdist
except ModuleNotFoundError as exc:  # pragma: no cover - depends on the environment
    raise ModuleNotFoundError(
        f"tarvek.skills.setuptools_commands needs setuptools ({exc}): put "
        "\"tarvek-skills[setuptools]\" in the [build-system] requires of pyproject.toml",
        name=exc.name) from exc

from tarvek.skills.build_record import choose_profile
from tarvek.skills.release_build import SkillProfileFallbackWarning, prune_staged_templates

__all__ = ["SkillProfileFallbackWarning", "skill_commands"]


def skill_commands(*, package_templates: str | os.PathLike[str],
                   manifest_templates_dir: str | os.PathLike[str],
                   profile: str | None) -> dict[str, type]:
    """`cmdclass` entries `build_py` and `sdist` that prune the staged skill
    templates for the wheel and the source distribution.

    `package_templates` is the templates directory inside the built package
    (relative to the build's library directory, for example "mypkg/skills");
    `manifest_templates_dir` is the source templates directory whose
    `manifest.json` decides (relative to the project directory or absolute);
    `profile` is the build profile, or None to read TARVEK_SKILL_PROFILE (and
    then the profile recorded in the sdist)."""
    inside_package = Path(package_templates)
    manifest_dir = Path(manifest_templates_dir)
    if inside_package.is_absolute():
        raise ValueError(f"package_templates must be relative to the package tree: "
                         f"{package_templates}")

    def _prune(target: Path, artifact: str, templates_path: Path, announce) -> None:
        source = manifest_dir.absolute()
        prune_staged_templates(
            target, artifact=artifact, manifest_templates_dir=source,
            templates_path=templates_path.as_posix(),
            choice=choose_profile(profile, source_templates=source),
            log=lambda message: announce(message, logging.INFO))

    class build_py(_build_py):
        def run(self):
            super().run()
            if getattr(self, "editable_mode", False):
                # An editable install runs from the source tree, which is
                # never pruned.
                self.announce("tarvek-skills: editable install: skill templates are used from "
                              "the source tree as they are, not pruned", logging.INFO)
            elif not self.dry_run:
                _prune(Path(self.build_lib) / inside_package, "wheel", inside_package,
                       self.announce)

    class sdist(_sdist):
        def make_release_tree(self, base_dir, files):
            super().make_release_tree(base_dir, files)
            if manifest_dir.is_absolute():
                raise ValueError("for an sdist, manifest_templates_dir must be relative to the "
                                 f"project directory: {manifest_dir}")
            if not self.dry_run:
                _prune(Path(base_dir) / manifest_dir, "sdist", manifest_dir, self.announce)

    return {"build_py": build_py, "sdist": sdist}
