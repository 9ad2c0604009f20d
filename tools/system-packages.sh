#!/usr/bin/env bash
# The Debian packages the two commands need, installed when run as root and
# named otherwise:
#   - g++, glog and GoogleTest, and the packages given as arguments;
#   - the interpreter's venv module and headers, where it is Debian's own
#     Python and lacks them;
#   - a clang with its sanitizer and fuzzer runtime: the newest of
#     CLANG_VERSIONS that the package lists offer (or that is installed).
# The clang it settles on is recorded as the link CLANG_LINK, which the fuzz
# preset compiles with.
#
# usage: system-packages.sh PYTHON CLANG_LINK [PACKAGE...]
set -euo pipefail

# The clang versions the fuzzing build is known to work with, newest first.
CLANG_VERSIONS="19 18 17 16 15 14"

python=$1
clang_link=$2
shift 2
packages=(g++ libgoogle-glog-dev libgtest-dev "$@")

is_root() { [ "$(id -u)" -eq 0 ]; }

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

offered() {
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

# Debian's own interpreter (owned by a package) comes without ensurepip and
# without its headers; another one (pyenv, a source build) brings both.
python_packages() {
  local real version
  real=$(readlink -f "$(command -v "$python")")
  dpkg -S "$real" >/dev/null 2>&1 || return 0
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "python$version-venv python$version-dev"
}

newest_clang() {
  local v
  for v in $CLANG_VERSIONS; do
    if { installed "clang-$v" && installed "libclang-rt-$v-dev"; } ||
       { offered "clang-$v" && offered "libclang-rt-$v-dev"; }; then
      echo "$v"
      return 0
    fi
  done
  return 1
}

# A fresh system has empty package lists: read them once before choosing.
lists_updated=no
update_lists() {
  if [ "$lists_updated" = no ]; then
    apt-get update -qq
    lists_updated=yes
  fi
}

clang_version=$(newest_clang || true)
if [ -z "$clang_version" ] && is_root; then
  update_lists
  clang_version=$(newest_clang || true)
fi
if [ -z "$clang_version" ]; then
  echo "no clang of versions $CLANG_VERSIONS (with libclang-rt-N-dev) is installed or offered;" >&2
  echo "run 'apt-get update' as root, or install one of them" >&2
  exit 1
fi

# shellcheck disable=SC2207  # the names hold no spaces
packages+=($(python_packages) "clang-$clang_version" "libclang-rt-$clang_version-dev")
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! is_root; then
    echo "missing Debian packages; run as root:"
    echo "  apt-get install -y ${missing[*]}"
    exit 1
  fi
  echo "installing Debian packages: ${missing[*]}"
  update_lists
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

mkdir -p "$(dirname "$clang_link")"
ln -sfn "/usr/bin/clang++-$clang_version" "$clang_link"
