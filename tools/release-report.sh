#!/usr/bin/env bash
# Sets up the package in .venv and runs the main job on the built-in
# templates: where they are, whether the release manifest agrees with them,
# and which skills each release profile and artifact admits.  Exits with the
# status of the validation (1 when the manifest and the templates disagree).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

"$PYTHON313" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet .
skills="$PWD/.venv/bin/tarvek-skills"
cd /  # the installed package, not the source tree

"$skills" locations
echo
status=0
"$skills" validate || status=$?
for pair in python-release:sdist python-release:wheel binary-minimal:binary binary-full:binary; do
  echo
  echo "== profile ${pair%:*}, artifact ${pair#*:}"
  "$skills" select --profile "${pair%:*}" --artifact "${pair#*:}"
done
exit "$status"
