#!/usr/bin/env bash
# Sets up a virtual environment in .venv, builds and installs the package
# with its test dependencies, and runs the test suite (without the slow
# tier: `tools/test.sh -m slow` runs that, `-m ""` everything).
#   tools/test.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

"$PYTHON313" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
# The build requirements live in .venv and the build is not isolated, so
# that the kept build directory is rebuilt only where the sources changed.
.venv/bin/python -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3,<4" "babel>=2.12" cmake ninja
.venv/bin/python -m pip install --quiet --no-build-isolation ".[test]"
.venv/bin/python -m pytest "$@"
