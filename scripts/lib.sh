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

# Installs the Debian packages that are missing (needs root, as on CI).
ensure_debian_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Builds and installs the tarnwick module into .venv.
install_module() {
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$repo_root"
}
