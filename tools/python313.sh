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
