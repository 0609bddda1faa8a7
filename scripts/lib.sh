# Shared by the scripts in this folder: locate each CPython version the tree
# builds for, its virtual environment and its build trees. Source it; do not run it.
set -euo pipefail

ORVIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The versions the tree builds and tests for. The first is the default one:
# its environment runs the scripts' own tools (documentation, benchmark page),
# and its trees are build/<kind> (the others' are build/<kind>-X.Y).
ORVIX_PYTHON_VERSIONS=(3.12 3.13)
ORVIX_DEFAULT_PYTHON=${ORVIX_PYTHON_VERSIONS[0]}
ORVIX_VENV=${ORVIX_VENV:-"$ORVIX_ROOT/.venv"}
# cwd must never shadow the built package with the source tree.
export PYTHONSAFEPATH=1

# venv_dir <X.Y>: the virtual environment of one version: $ORVIX_VENV for the
# default one, else $ORVIX_VENV_<XY> (ORVIX_VENV_313), by default .venv-X.Y.
venv_dir() {
  if [[ $1 == "$ORVIX_DEFAULT_PYTHON" ]]; then echo "$ORVIX_VENV"; return; fi
  local variable="ORVIX_VENV_${1//./}"
  echo "${!variable:-$ORVIX_ROOT/.venv-$1}"
}

# tree_dir <kind> <X.Y>: the build tree of one kind (release, tsan, asan) and version.
tree_dir() {
  if [[ $2 == "$ORVIX_DEFAULT_PYTHON" ]]; then echo "$ORVIX_ROOT/build/$1"; else echo "$ORVIX_ROOT/build/$1-$2"; fi
}

# find_python <X.Y>: prints the path of a CPython X.Y that has its headers:
# $ORVIX_PYTHON if it is that version, else pyenv's newest X.Y.*, else pythonX.Y
# on PATH. Fails naming the version that is missing.
find_python() {
  local version=$1 candidate found=""
  # pyenv's shims answer to pythonX.Y even when it is not selected, so every
  # candidate is asked for its version (and its headers) before it is trusted.
  for candidate in ${ORVIX_PYTHON:-} \
      $(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r) \
      $(command -v python"$version" 2>/dev/null || true); do
    if "$candidate" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" \
        >/dev/null 2>&1; then
      if "$candidate" -c 'import os, sys, sysconfig; sys.exit(not os.path.isfile(os.path.join(sysconfig.get_path("include"), "Python.h")))' \
          >/dev/null 2>&1; then
        echo "$candidate"; return
      fi
      found=$candidate
    fi
  done
  if [[ -n $found ]]; then
    echo "orvix: CPython $version at $found has no headers (Python.h): install its development files." >&2
  else
    echo "orvix: CPython $version not found (checked \$ORVIX_PYTHON, ~/.pyenv/versions/$version.*, python$version on PATH)." >&2
  fi
  echo "orvix: install CPython $version with its headers (for example \`pyenv install $version\`)," \
       "or set ORVIX_PYTHON=/path/to/python$version." >&2
  return 1
}

# ensure_venv [X.Y]: creates the virtual environment of a version (default:
# the default one) and installs the pinned tools (once per change of
# requirements). The default version's environment goes first on PATH
# (cmake, ninja).
ensure_venv() {
  local version=${1:-$ORVIX_DEFAULT_PYTHON} python venv
  venv=$(venv_dir "$version")
  local stamp="$venv/.orvix-requirements"
  if [[ ! -x "$venv/bin/python" ]]; then
    python=$(find_python "$version")
    echo "orvix: creating the CPython $version virtual environment $venv with $python" >&2
    "$python" -m venv "$venv"
  fi
  if ! cmp -s "$ORVIX_ROOT/requirements-dev.txt" "$stamp" 2>/dev/null; then
    echo "orvix: installing the pinned tools of requirements-dev.txt into $venv (a minute or two the first time)" >&2
    "$venv/bin/python" -m pip install --disable-pip-version-check -q -r "$ORVIX_ROOT/requirements-dev.txt"
    cp "$ORVIX_ROOT/requirements-dev.txt" "$stamp"
  fi
  if [[ $version == "$ORVIX_DEFAULT_PYTHON" ]]; then export PATH="$venv/bin:$PATH"; fi
}

# ensure_all_pythons: every version's environment, or one message naming
# every version that is missing.
ensure_all_pythons() {
  local version missing=()
  for version in "${ORVIX_PYTHON_VERSIONS[@]}"; do
    [[ -x "$(venv_dir "$version")/bin/python" ]] || find_python "$version" >/dev/null || missing+=("$version")
  done
  if ((${#missing[@]})); then
    echo "orvix: the tests run on CPython ${ORVIX_PYTHON_VERSIONS[*]}; missing: ${missing[*]}" >&2
    return 1
  fi
  for version in "${ORVIX_PYTHON_VERSIONS[@]}"; do ensure_venv "$version"; done
  # The default one last: its tools stay first on PATH.
  ensure_venv
}

# Debian packages the full test run needs (GoogleTest, clang 14 with libFuzzer,
# spin for the model of the wake-up protocols, libzmq with its pkg-config file
# for orvix.net.ZmqReceiver, which the build leaves out without it).
ORVIX_TEST_PACKAGES=(libgtest-dev clang-14 libclang-rt-14-dev spin libzmq3-dev pkg-config)
# The benchmarks' packaged peers of the ring (moodycamel's ReaderWriterQueue and
# ConcurrentQueue, header-only): bench_ring leaves their rows out without them.
ORVIX_BENCH_PACKAGES=(libreaderwriterqueue-dev libconcurrentqueue-dev)
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

ensure_test_packages() { ensure_debian_packages "${ORVIX_TEST_PACKAGES[@]}" "${ORVIX_BENCH_PACKAGES[@]}"; }
ensure_bench_packages() { ensure_debian_packages "${ORVIX_BENCH_PACKAGES[@]}"; }
# Wine's recommendations (fonts, sound, desktop integration) serve no headless run.
ensure_windows_packages() { ensure_debian_packages --no-install-recommends "${ORVIX_WINDOWS_PACKAGES[@]}"; }

# build_tree <dir> <X.Y> <what> [extra cmake args...]: configures and builds a
# tree for one version; <what> says what it holds. Configured every time (a second or two): a tree configured
# before a dependency was installed (GoogleTest, by the test command) picks it up.
# It says what it builds and shows the build's progress in steps of 10 %; the
# compiler's output goes to <dir>/build.log and is shown only when the build fails.
build_tree() {
  local dir=$1 version=$2 what=$3; shift 3
  mkdir -p "$dir"
  printf 'orvix: building %s (%s):' "${dir#"$ORVIX_ROOT"/}" "$what"
  cmake -S "$ORVIX_ROOT" -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$(venv_dir "$version")/bin/python" "$@" >/dev/null
  if ! cmake --build "$dir" -j "$(nproc)" 2>&1 | tee "$dir/build.log" | awk '
      /^\[[0-9]+\/[0-9]+\]/ {
        split(substr($0, 2, index($0, "]") - 2), step, "/")
        tenth = int(10 * step[1] / step[2])
        if (tenth > shown) { shown = tenth; printf " %d%%", 10 * tenth; fflush() }
      }
      /^ninja: no work to do/ { up_to_date = 1 }
      /^ninja: build stopped/ { stopped = 1 }
      END { print(stopped ? " failed" : up_to_date ? " up to date" : " built") }'; then
    cat "$dir/build.log" >&2
    echo "orvix: build of $dir failed" >&2
    return 1
  fi
}
