# Sourced by the scripts in tools/: chooses the Python environment that the
# project's commands install into and run from, and puts it first on the PATH.
#
# Inside an active virtual environment or conda environment, that one is used.
# Otherwise a project-local virtual environment in .venv/ is created on the
# first run and reused afterwards, since a distribution's own Python refuses
# to have packages installed into it.

vornix_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

vornix_fail() {
  echo "vornix: $*" >&2
  exit 2
}

# True when python3 on the PATH runs inside a virtual or conda environment.
vornix_in_env() {
  python3 -c 'import os, sys
sys.exit(0 if sys.prefix != sys.base_prefix
         or os.path.isdir(os.path.join(sys.prefix, "conda-meta")) else 1)' 2>/dev/null
}

# Makes .venv/ with python3, or stops with one line saying what is missing.
vornix_make_venv() {
  local venv=$1 version log
  version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') \
    || vornix_fail "python3 does not run"
  if ! python3 -c 'import venv, ensurepip' 2>/dev/null; then
    vornix_fail "python3 cannot create a virtual environment (no venv or ensurepip module): install the package python${version}-venv (Debian, Ubuntu) and run this again"
  fi
  if ! log=$(python3 -m venv "$venv" 2>&1); then
    rm -rf "$venv"
    vornix_fail "python3 -m venv $venv failed: $(printf '%s\n' "$log" | grep -v '^\s*$' | tail -n 1)"
  fi
}

# Selects the environment, puts it first on the PATH and prints where it is.
vornix_use_env() {
  command -v python3 >/dev/null || vornix_fail "no python3 on the PATH: install Python 3.11 or newer"
  vornix_check_version
  if vornix_in_env; then
    echo "vornix: using the active environment $(python3 -c 'import sys; print(sys.prefix)')" >&2
  else
    local venv="$vornix_root/.venv" made=""
    if ! "$venv/bin/python3" -c 'import pip' >/dev/null 2>&1; then
      if [ -e "$venv" ]; then
        # Only a directory that is a virtual environment is replaced.
        [ -f "$venv/pyvenv.cfg" ] || vornix_fail "$venv exists but is not a virtual environment: move it away"
        rm -rf "$venv"
      fi
      vornix_make_venv "$venv"
      made=1
    fi
    export VIRTUAL_ENV="$venv"
    export PATH="$venv/bin:$PATH"
    unset PYTHONHOME
    hash -r
    [ -n "$made" ] || vornix_check_version
    echo "vornix: using the virtual environment $venv${made:+ (created now)}" >&2
  fi
}

vornix_check_version() {
  python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))' \
    || vornix_fail "Python 3.11 or newer is needed; $(command -v python3) is $(python3 -V 2>&1)"
}

# Reads one entry of a CMake build tree's cache, e.g. CMAKE_CTEST_COMMAND.
vornix_cmake_cache() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}
