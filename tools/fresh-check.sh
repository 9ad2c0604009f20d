#!/usr/bin/env bash
# Runs the README's first command as a newcomer would: on minimal Debian 12,
# Debian 13 and Debian sid roots (debootstrap's minbase plus git, make,
# python3 and ca-certificates), each with a fresh clone of this repository,
# `make demo`; on Debian 13 also the fuzzing stage of `make test`, on sid
# (Python 3.14, the newest GCC) the Python suite. Prints one line per
# system with its result and time; each system's output goes to
# build/fresh-check/<suite>.log.
#
# The roots reach the package registries as this machine does: the Debian
# mirror of its apt sources, its CA certificates and its pip configuration
# are copied in. A pristine root is kept as a tarball in build/fresh-check,
# so later runs skip debootstrap; every run starts from that tarball.
# Needs root (debootstrap, chroot and mounts).
set -euo pipefail

# suite, name, what to run in the clone
SYSTEMS=(
  "bookworm|Debian 12|make demo"
  "trixie|Debian 13|make demo && make fuzz-test"
  "sid|Debian sid|make demo && make python-test"
)

repo=$(git rev-parse --show-toplevel)
cache="$repo/build/fresh-check"
work="$cache"
# shellcheck source=tools/roots.sh
source "$repo/tools/roots.sh"

check_system() {
  local suite=$1 name=$2 commands=$3
  local log="$work/$suite.log" start status=passed seconds python
  start=$(date +%s)
  # Called on its own, not in a list, so that the subshell's -e holds.
  set +e
  run_in_fresh_root "$suite" "$commands" >"$log" 2>&1
  [ $? -eq 0 ] || status=FAILED
  set -e
  seconds=$(($(date +%s) - start))
  python=$(chroot "$work/$suite/root" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' \
           2>/dev/null || echo "?")
  printf '%-9s (%s, Python %s): %s in %dm%02ds  [%s; log %s]\n' "$name" "$suite" "$python" \
    "$status" $((seconds / 60)) $((seconds % 60)) "$commands" "${log#"$repo"/}"
  # A passing root is not needed again; a failing one stays for inspection.
  [ "$status" = passed ] || return 1
  remove_root "$work/$suite"
}

mkdir -p "$work"
failed=0
for system in "${SYSTEMS[@]}"; do
  IFS='|' read -r suite name commands <<<"$system"
  check_system "$suite" "$name" "$commands" || failed=1
done
exit $failed
