#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into .venv-sanitize and runs the test suite
# against that build.  The sanitizer runtime is preloaded into the
# interpreter (it is not built with it); leak detection is off, since the
# interpreter keeps memory at exit, and PYTHONMALLOC=malloc lets ASan see
# every object allocation, so a reference-counting slip becomes a report.
# The stress runs of the walks run here too (-m "not slow or stress"): they
# are where memory errors show.
#   tools/test-sanitized.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

TARVEK_SANITIZE=ON install_variant .venv-sanitize build/sanitize

# The everyday tier and the stress runs, not the rest of the slow tier:
# those tests build fresh environments and artifacts from the source, not
# from this build, so they would check nothing the sanitizer can see.
#
# libstdc++ is preloaded as well: the interpreter is not a C++ program, and
# ASan must find the real __cxa_throw when it starts.
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$runtime" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc \
  .venv-sanitize/bin/python -m pytest -p no:cacheprovider -m "not slow or stress" "$@"
