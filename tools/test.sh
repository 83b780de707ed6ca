#!/usr/bin/env bash
# Sets up a virtual environment in .venv, builds and installs the package
# with its test dependencies, and runs the test suite.
#   tools/test.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

"$PYTHON313" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet ".[test]"
.venv/bin/python -m pytest "$@"
