# Shared helpers of the project's scripts: a CPython 3.13+ virtual environment with the
# build tools, and the Debian packages the C++ tests need.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$repo_root/.venv"

# Prints the path of a CPython 3.13 or newer: from PATH first, then pyenv's installs.
find_python() {
  local candidate
  for candidate in python3.14 python3.13 python3; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 /usr/bin/python3.1[3-9]; do
    if [ -x "$candidate" ] &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  echo "no CPython 3.13 or newer found" >&2
  return 1
}

# Creates .venv (once) and installs the given PyPI packages into it.
ensure_venv() {
  if [ ! -x "$venv/bin/python" ]; then
    "$(find_python)" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# Installs the Debian packages that are missing (needs root, as on CI). When they cannot be
# installed here (not root, no apt-get, or its sources out of reach) it says which packages are
# needed and how to install them, and fails at once, before any long step.
ensure_debian_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local why="" log
  if [ "$(id -u)" -ne 0 ]; then
    why="installing them needs root"
  elif ! command -v apt-get >/dev/null 2>&1; then
    why="apt-get is not available"
  elif ! log=$(apt-get update -qq 2>&1); then
    why="apt-get update cannot reach the package sources: $(echo "$log" | tail -n 3)"
  fi
  if [ -z "$why" ] &&
     ! log=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" 2>&1); then
    why="apt-get install failed: $(echo "$log" | tail -n 3)"
  fi
  if [ -n "$why" ]; then
    echo "The tests need the Debian packages $*; missing: ${missing[*]}." >&2
    echo "They cannot be installed here ($why). Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# Builds and installs the tarnwick module into .venv.
install_module() {
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$repo_root"
}
