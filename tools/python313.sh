# Sourced by the tools: sets PYTHON313 to a working CPython 3.13 interpreter.
# The pyenv shim may refuse to run without a pyenv setting, so every
# candidate is tried for real.
find_python313() {
  local candidate
  for candidate in "${PYTHON:-}" python3.13 /root/.pyenv/versions/3.13.0/bin/python3.13 \
      /root/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      PYTHON313=$candidate
      return 0
    fi
  done
  echo "no CPython 3.13 interpreter found; set PYTHON to one" >&2
  return 1
}
find_python313

# install_variant VENV BUILD_DIR: a build of the package with the CMake
# options in the environment (TARVEK_SANITIZE, TARVEK_OBJECT_ONLY, ...),
# installed with its test extras into its own virtual environment VENV.
install_variant() {
  "$PYTHON313" -m venv "$1"
  "$1/bin/python" -m pip install --quiet --upgrade pip
  "$1/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3,<4" "babel>=2.12"
  # The package's own dependencies and the test extras come with it.
  "$1/bin/python" -m pip install --quiet --no-build-isolation --force-reinstall ".[test]" \
    -Cbuild-dir="$2"
}
