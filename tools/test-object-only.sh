#!/usr/bin/env bash
# Builds the extension modules without the native file-system walker, as on
# platforms that lack it, into .venv-object, and runs the tests that do not
# ask for the native path, the walks' stress runs included: every call then
# takes the object path.
#   tools/test-object-only.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

TARVEK_OBJECT_ONLY=ON install_variant .venv-object build/object-only
# Tests of the native path itself (which path ran, swapped links, native
# depth, threads during a native walk: every test or case named "native")
# have nothing to test here.
.venv-object/bin/python -m pytest -p no:cacheprovider -m "not slow or stress" \
  -k "not native and not swapped_directories" "$@"
