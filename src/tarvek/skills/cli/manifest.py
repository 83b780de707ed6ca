"""The release manifest and the build profile as the subcommands read them:
which templates directory a command names, the errors of reading its
manifest told as manifest errors (exit 2), and which profile a command uses
and where it came from."""

from __future__ import annotations

import os
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

from tarvek.skills.build_record import EVERY_SKILL_PROFILES, admits_every_skill

from .common import ManifestError, manifest_error_type, packaging
from .i18n import _

# What pruning deletes as packaging junk before it looks at the skill
# directories (`_remove_packaging_junk`): a directory of this name is no skill.
JUNK_DIRECTORY = "__pycache__"


def admits_everything(profile: str) -> bool:
    """Whether `profile` admits every skill directory without reading the
    manifest, as the packaging module says."""
    return admits_every_skill(packaging(), profile)


def known_profiles() -> list[str]:
    """Every build profile the packaging module recognises: the ones that
    admit everything, then those of its admission table.  The module keeps no
    list of the former; the names it is asked about are the build record's."""
    return ([p for p in EVERY_SKILL_PROFILES if admits_everything(p)]
            + list(packaging()._PROFILE_KEYS))


def skill_dir_names(templates: Path) -> list[str]:
    """The names of the skill directories of a templates tree, as pruning
    sees them once the junk is gone."""
    return [p.name for p in packaging().list_template_dirs(templates)
            if p.name != JUNK_DIRECTORY]


def templates_root(given: Path | None) -> Path:
    """The templates directory to name in the output: the one given, else the
    built-in one (the modules fall back to the same function)."""
    return given if given else packaging().get_builtin_templates_dir()


@contextmanager
def reading_manifest(templates_dir: Path | None) -> Iterator[None]:
    """Around a call that loads the release manifest of `templates_dir`: the
    errors of reading it become `ManifestError`s (exit 2) naming the file."""
    try:
        yield
    except UnicodeDecodeError as exc:
        raise ManifestError(
            _("Skill 发版清单不是有效的 UTF-8 文本: {value}").format(
                value=manifest_path(templates_dir))) from exc
    except RecursionError as exc:
        raise ManifestError(
            _("Skill 发版清单 JSON 嵌套过深: {path}").format(
                path=manifest_path(templates_dir))) from exc
    except Exception as exc:
        manifest_error = manifest_error_type()
        if manifest_error is not None and isinstance(exc, manifest_error):
            raise ManifestError(str(exc)) from exc
        raise


def manifest_path(templates_dir: Path | None) -> Path:
    return templates_root(templates_dir) / packaging().MANIFEST_FILENAME


def check_manifest(templates_dir: Path | None) -> None:
    """Load the manifest once up front, so that its errors are told as such:
    besides what loading refuses, a "default" that is not an object (which
    admission would otherwise trip over with an AttributeError)."""
    with reading_manifest(templates_dir):
        manifest = packaging().load_release_manifest(templates_dir)
    if not isinstance(manifest.get("default", {}), dict):
        raise ManifestError(
            _("Skill 发版清单的 default 必须是对象: {value}").format(
                value=manifest_path(templates_dir)))


def resolve_profile(given: str | None, default: str, read_env: bool = True) -> tuple[str, str]:
    """(profile, where it came from: "option", "environment" or "default"),
    resolved as the modules resolve it: an empty value counts as not given,
    the environment value is trimmed."""
    if given:
        return given, "option"
    if read_env:
        value = os.environ.get(packaging().PROFILE_ENV, "").strip()
        if value:
            return value, "environment"
    return default, "default"


def profile_line(profile: str, source: str, note: str = "") -> str:
    origin = {"option": _("来自 --profile"),
              "environment": _("来自环境变量 {PROFILE_ENV}").format(
                                 PROFILE_ENV=packaging().PROFILE_ENV),
              "default": _("默认")}[source]
    return _("profile: {profile}（{origin}{note}）").format(
               profile=profile, origin=origin, note=note)
