#!/usr/bin/env bash
# Sets up the package in .venv and runs the main job on the built-in
# templates: where the templates and the central store are, and the
# release manifest they carry.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

"$PYTHON313" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet .
cd /  # import the installed package, not the source tree
"$OLDPWD/.venv/bin/python" - <<'PY'
from tarvek.skills import packaging

print("central skills store:", packaging.get_central_skills_dir())
print("built-in templates:  ", packaging.get_builtin_templates_dir())
manifest = packaging.load_release_manifest()
print("manifest skills:     ", ", ".join(sorted(manifest["skills"])) or "(none)")
PY
