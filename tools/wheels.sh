#!/usr/bin/env bash
# make wheels: a wheel for every CPython from 3.11, each tested where its
# interpreters are. make dist has built the sdist and this machine's wheel
# (Debian 12, CPython 3.11) before this runs.
#   cp311        make dist's wheel; the Python suite here
#   cp312-abi3   the stable-ABI wheel for CPython 3.12 and newer, built from the
#                same sdist in a fresh Debian 13 root (CPython 3.13) and checked
#                with abi3audit; the Python suite in Debian 13 (3.13) and in
#                Debian sid (3.14)
# Every wheel is repaired by auditwheel and installed without an index into
# a fresh venv (make wheel-suite). Leaves them in dist/ with SHA256SUMS; each
# root's output goes to build/wheels/<suite>.log. Needs root.
set -euo pipefail

repo=$(git rev-parse --show-toplevel)
cache="$repo/build/fresh-check"
work="$repo/build/wheels"
# shellcheck source=tools/roots.sh
source "$repo/tools/roots.sh"

# Extra make variables for every suite run (WHEEL_BENCH=1 times the wheels).
suite_options=${WHEEL_BENCH:+WHEEL_BENCH=1}
dist="$repo/dist"
sdist=$(echo "$dist"/zorvane_linalg-*.tar.gz)
mkdir -p "$work"

report() {  # report WHAT STATUS START
  local seconds=$(($(date +%s) - $3))
  printf '%-48s %s in %dm%02ds\n' "$1" "$2" $((seconds / 60)) $((seconds % 60))
}

# Runs `commands` in a fresh root of `suite` with `inputs`; stops the script
# (leaving the root for inspection) when they fail.
in_root() {
  local what=$1 suite=$2 commands=$3 start
  shift 3
  start=$(date +%s)
  set +e
  run_in_fresh_root "$suite" "$commands" "$@" >"$work/$suite.log" 2>&1
  local status=$?
  set -e
  if [ $status -ne 0 ]; then
    report "$what" "FAILED (log ${work#"$repo"/}/$suite.log)" "$start"
    exit 1
  fi
  report "$what" passed "$start"
}

# This interpreter's wheel, from make dist.
start=$(date +%s)
host_tag=$(python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
host_wheel=$(echo "$dist"/zorvane_linalg-*-"$host_tag"-"$host_tag"-manylinux_*.whl)
make -C "$repo" --no-print-directory wheel-suite WHEEL="$host_wheel" $suite_options \
  >"$work/host.log" 2>&1 || { report "$(basename "$host_wheel")" FAILED "$start"; exit 1; }
report "$(basename "$host_wheel") on $(python3 --version)" passed "$start"

# The stable-ABI wheel, built and tested in Debian 13.
in_root "abi3 wheel built and tested in Debian 13" trixie \
  "make dist-wheel SDIST=inputs/$(basename "$sdist") WHEEL_PY_API=cp312 &&
   make wheel-suite WHEEL=\$(echo dist/*-abi3-*.whl) $suite_options" "$sdist"
cp "$work"/trixie/root/root/zorvane/dist/*-abi3-*.whl "$dist/"
remove_root "$work/trixie"
abi3_wheel=$(echo "$dist"/zorvane_linalg-*-cp312-abi3-manylinux_*.whl)
"$repo/.venv/bin/abi3audit" --strict "$abi3_wheel"

# The same wheel in Debian sid.
in_root "abi3 wheel tested in Debian sid" sid \
  "make wheel-suite WHEEL=inputs/$(basename "$abi3_wheel") $suite_options" "$abi3_wheel"
remove_root "$work/sid"

cd "$dist"
sha256sum -- *.tar.gz *.whl >SHA256SUMS
ls -l -- *.whl
