"""The build backend: scikit-build-core, with the source distribution cut
down to the skill templates the release manifest admits to an sdist.

Under a build profile (TARVEK_SKILL_PROFILE) the admission is decided by this
package's own `selected_skill_names`, so the extension module is built first
(a wheel into a temporary directory) and asked; the templates it does not
admit are then excluded from the sdist.  Without a profile nothing is built
twice and the sdist carries every template.  Wheels are pruned by the CMake
install step (`prune_templates.py`)."""

from __future__ import annotations

import os
import sys
import tempfile
import zipfile
from pathlib import Path

from scikit_build_core import build as _scikit_build
from scikit_build_core.build import (  # noqa: F401  (the hooks this backend passes on)
    build_wheel,
    get_requires_for_build_wheel,
    prepare_metadata_for_build_wheel,
)

sys.path.insert(0, os.path.dirname(__file__))
from prune_templates import load_packaging  # noqa: E402

PROFILE_ENV = "TARVEK_SKILL_PROFILE"
TEMPLATES = Path("src/tarvek/skills/templates")

try:  # optional hooks, present in recent scikit-build-core releases
    from scikit_build_core.build import build_editable, get_requires_for_build_editable  # noqa: F401
except ImportError:
    pass


def _profile() -> str:
    return os.environ.get(PROFILE_ENV, "").strip()


def get_requires_for_build_sdist(config_settings=None):
    requires = list(_scikit_build.get_requires_for_build_sdist(config_settings))
    if _profile():
        requires += _scikit_build.get_requires_for_build_wheel(config_settings)
    return requires


def _admitted_to_sdist(profile: str, config_settings) -> tuple[list[str], list[str]]:
    """(admitted, present) template names, from a fresh build of the packaging
    module."""
    saved = os.environ.get(PROFILE_ENV)
    with tempfile.TemporaryDirectory() as scratch:
        os.environ[PROFILE_ENV] = "dev"  # this wheel is only a vehicle for the module
        try:
            wheel = _scikit_build.build_wheel(scratch, config_settings)
        finally:
            if saved is None:
                os.environ.pop(PROFILE_ENV, None)
            else:
                os.environ[PROFILE_ENV] = saved
        with zipfile.ZipFile(Path(scratch) / wheel) as archive:
            name = next(n for n in archive.namelist()
                        if n.startswith("tarvek/skills/packaging") and n.endswith(".so"))
            module_file = archive.extract(name, Path(scratch) / "module")
        packaging = load_packaging(module_file)
        present = [p.name for p in packaging.list_template_dirs(TEMPLATES.absolute())]
        try:
            admitted = packaging.selected_skill_names(profile=profile, artifact="sdist",
                                                      templates_dir=TEMPLATES.absolute())
        except packaging.SkillReleaseManifestError as exc:
            raise SystemExit(f"tarvek-skills build: {exc}") from None
    return list(admitted), present


def build_sdist(sdist_directory, config_settings=None):
    profile = _profile()
    if not profile:
        return _scikit_build.build_sdist(sdist_directory, config_settings)
    admitted, present = _admitted_to_sdist(profile, config_settings)
    left_out = [name for name in present if name not in admitted]
    print(f"tarvek-skills build: profile {profile}, artifact sdist: skill templates "
          f"{', '.join(admitted) or '(none)'}", file=sys.stderr)
    settings = dict(config_settings or {})
    settings["sdist.exclude"] = [f"/{(TEMPLATES / name).as_posix()}/" for name in left_out]
    return _scikit_build.build_sdist(sdist_directory, settings)
