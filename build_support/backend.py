"""The build backend: scikit-build-core, with the source distribution cut
down to the skill templates the release manifest admits to an sdist and
carrying its build record.

The profile is TARVEK_SKILL_PROFILE, else the one recorded in the source
tree (when building from an unpacked sdist), else "dev".  Under a profile
that consults the manifest the admission is decided by this package's own
`selected_skill_names`, so the extension module is built first (a wheel into
a temporary directory) and asked; the templates it does not admit are then
excluded from the sdist.  Under "dev" or "internal" nothing is built twice
and the sdist carries every template.  Either way the sdist gets a build
record (`build-record.json` in its templates directory) naming the profile,
so that a wheel built from it applies the same profile.  Wheels are pruned
and recorded by the CMake install step (`prune_templates.py`)."""

from __future__ import annotations

import gzip
import io
import os
import sys
import tarfile
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
from prune_templates import load_build_record, load_packaging  # noqa: E402

PROFILE_ENV = "TARVEK_SKILL_PROFILE"
TEMPLATES = Path("src/tarvek/skills/templates")

try:  # optional hooks, present in recent scikit-build-core releases
    from scikit_build_core.build import build_editable, get_requires_for_build_editable  # noqa: F401
except ImportError:
    pass


def _choice():
    record = load_build_record()
    try:
        return record, record.choose_profile(source_templates=TEMPLATES)
    except record.BuildRecordError as exc:
        raise SystemExit(f"tarvek-skills build: {exc}") from None


def get_requires_for_build_sdist(config_settings=None):
    requires = list(_scikit_build.get_requires_for_build_sdist(config_settings))
    record, choice = _choice()
    if choice.profile not in record.EVERY_SKILL_PROFILES:  # the module is not built yet
        requires += _scikit_build.get_requires_for_build_wheel(config_settings)
    return requires


def _admitted_to_sdist(profile: str, config_settings) -> list[str]:
    """The template names admitted to an sdist, from a fresh build of the
    packaging module."""
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
        try:
            return list(packaging.selected_skill_names(profile=profile, artifact="sdist",
                                                       templates_dir=TEMPLATES.absolute()))
        except packaging.SkillReleaseManifestError as exc:
            raise SystemExit(f"tarvek-skills build: {exc}") from None


def _add_to_sdist(sdist: Path, member: str, data: bytes) -> None:
    """Rewrite the sdist with `member` (relative to its top directory) holding
    `data`, dated and owned like the rest, so the archive stays reproducible."""
    with tarfile.open(sdist) as archive:
        members = [(info, archive.extractfile(info).read() if info.isfile() else None)
                   for info in archive.getmembers()]
    top = members[0][0].name.split("/", 1)[0]
    like = next(info for info, _ in members if info.name == f"{top}/PKG-INFO")
    added = tarfile.TarInfo(f"{top}/{member}")
    added.size, added.mtime, added.mode = len(data), like.mtime, 0o644
    added.uid = added.gid = 0
    added.uname = added.gname = ""
    members = [(info, body) for info, body in members if info.name != added.name]
    members.insert(len(members) - 1 if members[-1][0] is like else len(members), (added, data))
    scratch = sdist.with_name(sdist.name + ".part")
    with open(scratch, "wb") as raw, \
            gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=9, mtime=like.mtime,
                          filename="") as compressed, \
            tarfile.TarFile(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as out:
        for info, body in members:
            out.addfile(info, io.BytesIO(body) if body is not None else None)
    os.replace(scratch, sdist)


def build_sdist(sdist_directory, config_settings=None):
    record, choice = _choice()
    present = sorted(p.name for p in TEMPLATES.iterdir() if p.is_dir())
    if choice.profile in record.EVERY_SKILL_PROFILES:
        admitted = present
    else:
        admitted = _admitted_to_sdist(choice.profile, config_settings)
    left_out = [name for name in present if name not in admitted]
    print(f"tarvek-skills build: {choice.describe()}, artifact sdist: skill templates "
          f"{', '.join(n for n in present if n in admitted) or '(none)'}", file=sys.stderr)
    settings = dict(config_settings or {})
    settings["sdist.exclude"] = [f"/{(TEMPLATES / name).as_posix()}/" for name in left_out] + [
        f"/{(TEMPLATES / record.RECORD_FILENAME).as_posix()}"]
    name = _scikit_build.build_sdist(sdist_directory, settings)
    built = record.BuildRecord(profile=choice.profile, artifact="sdist",
                               templates_path=TEMPLATES.as_posix(), profile_source=choice.source)
    _add_to_sdist(Path(sdist_directory, name), f"{TEMPLATES.as_posix()}/{record.RECORD_FILENAME}",
                  built.to_bytes())
    return name
