# Shared by the scripts in this folder: locate CPython 3.12, the virtual
# environment and the build trees. Source it; do not run it.
set -euo pipefail

ORVIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORVIX_VENV=${ORVIX_VENV:-"$ORVIX_ROOT/.venv"}
# cwd must never shadow the built package with the source tree.
export PYTHONSAFEPATH=1

find_python312() {
  local candidate
  # pyenv's shims answer to python3.12 even when it is not selected, so every
  # candidate is asked for its version before it is trusted.
  for candidate in ${ORVIX_PYTHON:-} \
      $(ls -d "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r) \
      $(command -v python3.12 2>/dev/null || true); do
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
      echo "$candidate"; return
    fi
  done
  echo "orvix: CPython 3.12 not found (checked \$ORVIX_PYTHON, ~/.pyenv/versions/3.12.*, python3.12 on PATH)." >&2
  echo "orvix: install CPython 3.12 with its headers, or set ORVIX_PYTHON=/path/to/python3.12." >&2
  return 1
}

# Creates the virtual environment and installs the pinned tools (once per change of requirements).
ensure_venv() {
  local python stamp="$ORVIX_VENV/.orvix-requirements"
  if [[ ! -x "$ORVIX_VENV/bin/python" ]]; then
    python=$(find_python312)
    echo "orvix: creating virtual environment with $python" >&2
    "$python" -m venv "$ORVIX_VENV"
  fi
  if ! cmp -s "$ORVIX_ROOT/requirements-dev.txt" "$stamp" 2>/dev/null; then
    "$ORVIX_VENV/bin/python" -m pip install --disable-pip-version-check -q -r "$ORVIX_ROOT/requirements-dev.txt"
    cp "$ORVIX_ROOT/requirements-dev.txt" "$stamp"
  fi
  export PATH="$ORVIX_VENV/bin:$PATH"
}

# Debian packages the full test run needs (GoogleTest, clang 14 with libFuzzer,
# spin for the model of the wake-up protocols).
ORVIX_TEST_PACKAGES=(libgtest-dev clang-14 libclang-rt-14-dev spin)
# The Windows stage's: the mingw-w64 cross compiler and Wine to run its programs.
ORVIX_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64)

# ensure_debian_packages [--no-install-recommends] <package...>: installs the
# missing ones with apt-get (as root), or says what to install.
ensure_debian_packages() {
  local options=() missing=() pkg
  if [[ ${1:-} == --no-install-recommends ]]; then options+=("$1"); shift; fi
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "orvix: the tests need these Debian packages: ${missing[*]} (sudo apt-get install ${missing[*]})" >&2
    return 1
  fi
  echo "orvix: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}

ensure_test_packages() { ensure_debian_packages "${ORVIX_TEST_PACKAGES[@]}"; }
# Wine's recommendations (fonts, sound, desktop integration) serve no headless run.
ensure_windows_packages() { ensure_debian_packages --no-install-recommends "${ORVIX_WINDOWS_PACKAGES[@]}"; }

# build_tree <dir> [extra cmake args...]: configures and builds a tree.
# Configured every time (a second or two): a tree configured before a
# dependency was installed (GoogleTest, by the test command) picks it up.
build_tree() {
  local dir=$1; shift
  cmake -S "$ORVIX_ROOT" -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$ORVIX_VENV/bin/python" "$@" >/dev/null
  # The compiler's output is shown only when the build fails.
  if ! cmake --build "$dir" -j "$(nproc)" > "$dir/build.log" 2>&1; then
    cat "$dir/build.log" >&2
    echo "orvix: build of $dir failed" >&2
    return 1
  fi
  echo "orvix: built $dir"
}
