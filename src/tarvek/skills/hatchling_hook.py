"""The hatchling build hook for packages that ship skill templates of their own.

Registered through hatchling's plugin entry point (group "hatch"), so a
project needs only this in its `pyproject.toml`::

    [build-system]
    requires = ["hatchling", "tarvek-skills"]
    build-backend = "hatchling.build"

    [tool.hatch.build.hooks.tarvek-skills]
    templates = "src/mypkg/skills"   # the source templates tree with manifest.json
    # profile = "python-release"     # optional; else TARVEK_SKILL_PROFILE, else the
    #                                # profile recorded in the sdist, else "dev"

For the wheel and the sdist alike the hook copies the files of the templates
tree that the target would ship into a staging directory, prunes the copy
and writes its build record there (`release_build.prune_staged_templates`,
the same step as the setuptools commands), and ships the copy in place of
the tree.  After the build it checks that the artifact carries exactly the
kept skills.  An editable wheel runs from the source tree, which is never
pruned.
"""

from __future__ import annotations

import os
import shutil
import tarfile
import tempfile
import zipfile
from pathlib import Path, PurePosixPath
from typing import Any

from hatchling.builders.hooks.plugin.interface import BuildHookInterface
from hatchling.plugin import hookimpl

__all__ = ["SkillTemplatesBuildHook", "hatch_register_build_hook"]

_ARTIFACTS = {"wheel": "wheel", "sdist": "sdist"}


class SkillTemplatesBuildHook(BuildHookInterface):
    PLUGIN_NAME = "tarvek-skills"

    def _templates(self) -> tuple[str, Path]:
        """The configured templates tree: (POSIX path relative to the
        project, absolute path)."""
        value = self.config.get("templates")
        where = f"[tool.hatch.build.hooks.{self.PLUGIN_NAME}]"
        if not isinstance(value, str) or not value.strip():
            raise ValueError(f"{where} needs `templates`, the source templates directory "
                             "relative to the project (for example \"src/mypkg/skills\")")
        relative = PurePosixPath(value.strip().replace(os.sep, "/"))
        if relative.is_absolute() or ".." in relative.parts or str(relative) == ".":
            raise ValueError(f"{where} templates must be a directory inside the project: {value}")
        absolute = Path(self.root, *relative.parts)
        if not absolute.is_dir():
            raise FileNotFoundError(f"{where} templates is not a directory: {absolute}")
        return relative.as_posix(), absolute

    def _profile(self) -> str | None:
        value = self.config.get("profile")
        if value is not None and not isinstance(value, str):
            raise ValueError(f"[tool.hatch.build.hooks.{self.PLUGIN_NAME}] profile must be a "
                             f"string: {value!r}")
        return value or None

    def initialize(self, version: str, build_data: dict[str, Any]) -> None:
        self._staging: str | None = None
        if self.target_name not in _ARTIFACTS:
            raise ValueError(f"the {self.PLUGIN_NAME} build hook builds wheels and sdists, "
                             f"not {self.target_name!r}")
        relative, source = self._templates()
        if version == "editable":
            self.app.display_info(f"{self.PLUGIN_NAME}: editable install: skill templates are "
                                  f"used from {relative} as they are, not pruned")
            return
        artifact = _ARTIFACTS[self.target_name]
        prefix = relative + "/"
        shipped = [f for f in self.build_config.builder.recurse_included_files()
                   if f.relative_path.replace(os.sep, "/").startswith(prefix)]
        if not shipped:
            raise ValueError(f"the {self.target_name} does not include the skill templates in "
                             f"{relative}: include them in the target's files, or configure the "
                             f"{self.PLUGIN_NAME} hook for the targets that ship them only")
        self._staging = tempfile.mkdtemp(prefix="tarvek-skills-hatch-")
        try:
            self._stage(shipped, prefix, source, artifact, build_data)
        except BaseException:
            shutil.rmtree(self._staging, ignore_errors=True)
            self._staging = None
            raise

    def _stage(self, shipped: list[Any], prefix: str, source: Path, artifact: str,
               build_data: dict[str, Any]) -> None:
        """Copy, prune and record the templates in the staging directory, and
        ship the copy in place of the project's files."""
        from tarvek.skills.build_record import RECORD_FILENAME, choose_profile
        from tarvek.skills.release_build import prune_staged_templates

        assert self._staging is not None
        destination = self.build_config.get_distribution_path(prefix).rstrip("/")
        staged = Path(self._staging, "templates")
        copies = []
        for included in shipped:
            below = included.relative_path.replace(os.sep, "/")[len(prefix):]
            copy = staged.joinpath(*below.split("/"))
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(included.path, copy)
            copies.append((included, copy))
        self._kept = prune_staged_templates(
            staged, artifact=artifact, manifest_templates_dir=source,
            templates_path=destination,
            choice=choose_profile(self._profile(), explicit_source="configuration",
                                  source_templates=source),
            log=self.app.display_info)
        # Each file that survived pruning ships from the staged copy in place
        # of the project's own (a file forced in from outside the project
        # takes its target's place); the files of the skills left out are
        # taken out of the build.
        forced = build_data["force_include"]
        for included, copy in copies:
            if copy.is_file():
                forced[str(copy)] = included.relative_path
            else:
                self.build_config.build_reserved_paths.add(included.distribution_path)
        forced[str(staged / RECORD_FILENAME)] = prefix + RECORD_FILENAME
        self._destination = destination
        # What the archive must show: the kept skills that still hold a file.
        self._expected = sorted(name for name in self._kept
                                if any(p.is_file() for p in (staged / name).rglob("*")))

    def finalize(self, version: str, build_data: dict[str, Any], artifact_path: str) -> None:
        staging = getattr(self, "_staging", None)
        if staging is None:
            return
        try:
            carried = _skills_in(Path(artifact_path), self._destination)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
            self._staging = None
        if carried != self._expected:
            raise RuntimeError(
                f"{self.PLUGIN_NAME}: {artifact_path} carries the skill templates "
                f"{', '.join(carried) or '(none)'} in {self._destination}, but "
                f"{', '.join(self._expected) or '(none)'} were admitted; do not ship it")


def _skills_in(artifact: Path, templates_path: str) -> list[str]:
    """The skill directories under `templates_path` inside a wheel or an
    sdist (whose members lie below one top directory)."""
    if zipfile.is_zipfile(artifact):
        with zipfile.ZipFile(artifact) as archive:
            names = archive.namelist()
    else:
        with tarfile.open(artifact) as archive:
            names = [name.split("/", 1)[1] for name in archive.getnames() if "/" in name]
    depth = len(PurePosixPath(templates_path).parts)
    found = set()
    for name in names:
        parts = PurePosixPath(name).parts
        if len(parts) > depth + 1 and PurePosixPath(*parts[:depth]).as_posix() == templates_path:
            found.add(parts[depth])
    return sorted(found)


@hookimpl
def hatch_register_build_hook() -> type[BuildHookInterface]:
    return SkillTemplatesBuildHook
