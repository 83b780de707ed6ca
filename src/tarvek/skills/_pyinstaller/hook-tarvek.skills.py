# The skill templates a single-file binary carries, as the release manifest
# admits them for the build profile in TARVEK_SKILL_PROFILE (binary-minimal
# when it is unset), and the metadata `tarvek-skills --version` reads.
from PyInstaller.utils.hooks import copy_metadata

from tarvek.skills import packaging

_profile = packaging.current_profile(default="binary-minimal")
try:
    datas = [tuple(pair) for pair in packaging.collect_skill_datas(profile=_profile)]
except packaging.SkillReleaseManifestError as exc:
    # A profile that cannot build a binary, an unknown one or a bad manifest
    # stops the build with the module's own message.
    raise SystemExit(f"tarvek-skills: {exc}") from None
datas += copy_metadata("tarvek-skills")
