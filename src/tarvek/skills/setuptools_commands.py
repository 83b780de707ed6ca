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
admit everything.  When the profile comes from the environment and falls
back to "dev" (nothing is pruned), the build says so with a warning.
"""

from __future__ import annotations

import os
import warnings
from pathlib import Path

from setuptools.command.build_py import build_py as _build_py
from setuptools.command.sdist import sdist as _sdist

from tarvek.skills import packaging

__all__ = ["SkillProfileFallbackWarning", "skill_commands"]


class SkillProfileFallbackWarning(UserWarning):
    """No build profile was named, so every skill template is packaged."""


def _profile(profile: str | None) -> str:
    if profile:
        return profile
    resolved = packaging.current_profile()
    if not os.environ.get(packaging.PROFILE_ENV, "").strip():
        warnings.warn(
            f"no build profile given and {packaging.PROFILE_ENV} is not set: the profile falls "
            f"back to {resolved!r}, which keeps every skill template",
            SkillProfileFallbackWarning, stacklevel=3)
    return resolved


def _prune(target: Path, profile: str | None, artifact: str, manifest_dir: Path,
           announce) -> None:
    resolved = _profile(profile)
    if not target.is_dir():
        raise FileNotFoundError(f"skill templates not found in the {artifact} tree: {target}")
    kept = packaging.prune_templates_dir(target, profile=resolved, artifact=artifact,
                                         manifest_templates_dir=manifest_dir)
    announce(f"pruned skill templates in {target} for profile {resolved!r}, artifact "
             f"{artifact!r}: kept {', '.join(kept) or 'none'}", 2)


def skill_commands(*, package_templates: str | os.PathLike[str],
                   manifest_templates_dir: str | os.PathLike[str],
                   profile: str | None) -> dict[str, type]:
    """`cmdclass` entries `build_py` and `sdist` that prune the staged skill
    templates for the wheel and the source distribution.

    `package_templates` is the templates directory inside the built package
    (relative to the build's library directory, for example "mypkg/skills");
    `manifest_templates_dir` is the source templates directory whose
    `manifest.json` decides (relative to the project directory or absolute);
    `profile` is the build profile, or None to read TARVEK_SKILL_PROFILE."""
    inside_package = Path(package_templates)
    manifest_dir = Path(manifest_templates_dir)
    if inside_package.is_absolute():
        raise ValueError(f"package_templates must be relative to the package tree: "
                         f"{package_templates}")

    class build_py(_build_py):
        def run(self):
            super().run()
            if not self.dry_run:
                _prune(Path(self.build_lib) / inside_package, profile, "wheel",
                       manifest_dir.absolute(), self.announce)

    class sdist(_sdist):
        def make_release_tree(self, base_dir, files):
            super().make_release_tree(base_dir, files)
            if manifest_dir.is_absolute():
                raise ValueError("for an sdist, manifest_templates_dir must be relative to the "
                                 f"project directory: {manifest_dir}")
            if not self.dry_run:
                _prune(Path(base_dir) / manifest_dir, profile, "sdist",
                       manifest_dir.absolute(), self.announce)

    return {"build_py": build_py, "sdist": sdist}
