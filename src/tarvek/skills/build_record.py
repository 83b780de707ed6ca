"""The build record: which build profile and artifact a templates directory
was packaged for, written into the templates directory itself.

Every build route that cuts a templates tree down to the admitted skills
writes it (our own wheel and sdist, a wheel built from either sdist, a
PyInstaller binary, and downstream packages built with `skill_commands` or
the hatchling hook), so that the record travels with the artifact:

- a wheel built from an sdist applies the profile recorded in the sdist when
  no profile is named at wheel time (an explicit one still wins);
- `tarvek-skills verify` and `doctor` judge an artifact or an installation
  against the recorded profile and artifact, and `verify` finds a downstream
  package's templates through the recorded `templates_path`.

The record is the file `build-record.json` beside `manifest.json`.  Only
skill directories are listed as skills, so a file here is never taken for
one, and pruning keeps files.

This module uses the standard library only: the build backend loads it from
the source tree, before the package is installed anywhere.
"""

from __future__ import annotations

import json
import os
import stat
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Mapping

__all__ = ["RECORD_FILENAME", "ARTIFACTS", "BuildRecord", "BuildRecordError", "ProfileChoice",
           "EVERY_SKILL_PROFILES", "admits_every_skill", "choose_profile", "read_record",
           "write_record"]

RECORD_FILENAME = "build-record.json"
FORMAT = 1
PROFILE_ENV = "TARVEK_SKILL_PROFILE"  # the packaging module's PROFILE_ENV
DEFAULT_PROFILE = "dev"  # the packaging module's DEFAULT_PROFILE
# The profiles under which the packaging module admits every skill without
# reading the manifest.  Where the module is at hand it is asked instead
# (`admits_every_skill`); this names them where it is not (a build backend
# before it has built the module) and where they are listed.
EVERY_SKILL_PROFILES = (DEFAULT_PROFILE, "internal")
ARTIFACTS = ("sdist", "wheel", "binary")

# Where a build's profile came from, strongest first.
SOURCES = {
    "argument": "named by the build script",
    "configuration": "named in the build configuration",
    "environment": f"from {PROFILE_ENV}",
    "record": "recorded in the sdist's build record",
    "default": "the default",
}

_MAX_RECORD_SIZE = 64 * 1024


def admits_every_skill(packaging, profile: str) -> bool:
    """Whether the packaging module `packaging` admits every skill under
    `profile` without reading the manifest: it maps the profile to no
    admission key at all."""
    try:
        return packaging._profile_key(profile, "") is None
    except packaging.SkillReleaseManifestError:
        return False


class BuildRecordError(ValueError):
    """A build record that cannot be read or does not have the expected form."""


@dataclass(frozen=True)
class BuildRecord:
    """What a templates tree was built for.

    `templates_path` is the templates directory's path inside the artifact,
    in POSIX form: from the wheel's root (`mypkg/skills`), from the sdist's
    top directory (`src/mypkg/skills`), or from a binary's unpacking
    directory (`tarvek/skills/templates`).  `profile_source` is one of
    `SOURCES`."""

    profile: str
    artifact: str
    templates_path: str
    profile_source: str

    def as_json(self) -> dict[str, object]:
        return {"format": FORMAT, "profile": self.profile, "artifact": self.artifact,
                "templates_path": self.templates_path, "profile_source": self.profile_source}

    def to_bytes(self) -> bytes:
        """The record file's contents."""
        return (json.dumps(self.as_json(), indent=2, ensure_ascii=False) + "\n").encode("utf-8")

    @classmethod
    def from_json(cls, data: object, where: object) -> "BuildRecord":
        if not isinstance(data, dict):
            raise BuildRecordError(f"构建记录不是 JSON 对象: {where}")
        if data.get("format") != FORMAT:
            raise BuildRecordError(f"构建记录的格式 {data.get('format')!r} 未知"
                                   f"（应为 {FORMAT}）: {where}")
        values = {}
        for key in ("profile", "artifact", "templates_path", "profile_source"):
            value = data.get(key)
            if not isinstance(value, str) or not value.strip():
                raise BuildRecordError(f"构建记录缺少 {key!r}: {where}")
            values[key] = value
        if values["artifact"] not in ARTIFACTS:
            raise BuildRecordError(f"构建记录中的产物类型 {values['artifact']!r} 未知: {where}")
        path = values["templates_path"]
        if path.startswith("/") or ".." in path.split("/"):
            raise BuildRecordError(f"构建记录中的 templates_path {path!r} 指向产物之外: {where}")
        return cls(**values)


def read_record(templates_dir: str | os.PathLike[str]) -> BuildRecord | None:
    """The record in `templates_dir`, or None when there is none.

    A record that is no regular file (a FIFO is never opened), too large, not
    UTF-8 JSON or of the wrong form raises `BuildRecordError`."""
    path = Path(templates_dir, RECORD_FILENAME)
    try:
        info = path.stat()
    except (FileNotFoundError, NotADirectoryError):
        return None
    if not stat.S_ISREG(info.st_mode):
        raise BuildRecordError(f"构建记录不是普通文件: {path}")
    if info.st_size > _MAX_RECORD_SIZE:
        raise BuildRecordError(f"构建记录超过 {_MAX_RECORD_SIZE} 字节: {path}")
    try:
        data = json.loads(path.read_bytes().decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise BuildRecordError(f"构建记录不是 UTF-8 编码的 JSON（{exc}）: {path}") from None
    return BuildRecord.from_json(data, path)


def write_record(templates_dir: str | os.PathLike[str], record: BuildRecord) -> Path:
    """Write `record` into `templates_dir`, a tree the build has staged.

    The file is replaced, never written through: a staged copy may share its
    file with the source tree through a hard link (setuptools links the
    files of an sdist's release tree), and the source must stay as it is."""
    directory = Path(templates_dir)
    target = directory / RECORD_FILENAME
    handle, scratch = tempfile.mkstemp(prefix=".build-record-", dir=directory)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(record.to_bytes())
        os.chmod(scratch, 0o644)
        os.replace(scratch, target)
    except BaseException:
        try:
            os.unlink(scratch)
        except FileNotFoundError:
            pass
        raise
    return target


@dataclass(frozen=True)
class ProfileChoice:
    """The profile a build uses and where it came from; `recorded` is the
    profile of the source tree's record, when there is one."""

    profile: str
    source: str
    recorded: str | None = None

    def describe(self) -> str:
        """For the build log: which profile, and why."""
        text = f"profile {self.profile!r} ({SOURCES[self.source]}"
        if self.recorded is not None and self.recorded != self.profile:
            text += f", in place of {self.recorded!r} recorded in the sdist"
        return text + ")"


def choose_profile(explicit: str | None = None, *, explicit_source: str = "argument",
                   source_templates: str | os.PathLike[str] | None = None,
                   environ: Mapping[str, str] | None = None,
                   default: str = DEFAULT_PROFILE) -> ProfileChoice:
    """The profile of a build, strongest first: `explicit` (named by the
    build script or its configuration), then TARVEK_SKILL_PROFILE, then the
    profile recorded in `source_templates` (a tree unpacked from an sdist),
    then `default`.  Blank values count as unset.  A malformed record in the
    source tree raises `BuildRecordError`: building from it would silently
    pick another profile."""
    environ = os.environ if environ is None else environ
    record = read_record(source_templates) if source_templates is not None else None
    recorded = record.profile if record is not None else None
    if explicit is not None and explicit.strip():
        return ProfileChoice(explicit, explicit_source, recorded)
    from_environment = environ.get(PROFILE_ENV, "").strip()
    if from_environment:
        return ProfileChoice(from_environment, "environment", recorded)
    if recorded is not None:
        return ProfileChoice(recorded, "record", recorded)
    return ProfileChoice(default, "default")
