# The skill templates a single-file binary carries, as the release manifest
# admits them for the build profile in TARVEK_SKILL_PROFILE (binary-minimal
# when it is unset), their build record, the command's message catalogs and
# the metadata `tarvek-skills --version` reads.
import os
import tempfile

from PyInstaller.utils.hooks import copy_metadata

from tarvek.skills import packaging
from tarvek.skills.build_record import BuildRecord, write_record

_TEMPLATES = "tarvek/skills/templates"  # where the binary finds them, under sys._MEIPASS

_profile = packaging.current_profile(default="binary-minimal")
try:
    datas = [tuple(pair) for pair in packaging.collect_skill_datas(profile=_profile)]
except packaging.SkillReleaseManifestError as exc:
    # A profile that cannot build a binary, an unknown one or a bad manifest
    # stops the build with the module's own message.
    raise SystemExit(f"tarvek-skills: {exc}") from None


def _record_file() -> str:
    """The build record of this binary, written into PyInstaller's work
    directory (or a scratch directory when the hook runs outside a build)."""
    try:
        from PyInstaller.config import CONF
        work = CONF["workpath"]
    except (ImportError, KeyError):
        work = tempfile.mkdtemp(prefix="tarvek-skills-pyinstaller-")
    directory = os.path.join(work, "tarvek-skills-build-record")
    os.makedirs(directory, exist_ok=True)
    source = "environment" if os.environ.get(packaging.PROFILE_ENV, "").strip() else "default"
    return str(write_record(directory, BuildRecord(profile=_profile, artifact="binary",
                                                   templates_path=_TEMPLATES,
                                                   profile_source=source)))


datas.append((_record_file(), _TEMPLATES.replace("/", os.sep)))
# The command's message catalogs, found beside the packaging module.
_LOCALE = os.path.join(os.path.dirname(packaging.__file__), "locale")
if os.path.isdir(_LOCALE):
    datas.append((_LOCALE, os.path.join("tarvek", "skills", "locale")))
datas += copy_metadata("tarvek-skills")
