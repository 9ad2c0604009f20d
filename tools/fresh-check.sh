#!/usr/bin/env bash
# Runs the README's first command as a newcomer would: on minimal Debian 12
# and Debian 13 roots (debootstrap's minbase plus git, make, python3 and
# ca-certificates), each with a fresh clone of this repository, `make demo`;
# on Debian 13 also the fuzzing stage of `make test`. Prints one line per
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
)
INCLUDE=git,make,python3,ca-certificates

repo=$(git rev-parse --show-toplevel)
work="$repo/build/fresh-check"

if [ "$(id -u)" -ne 0 ]; then
  echo "make fresh-check needs root (debootstrap, chroot, mount)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || {
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
}

# The first Debian mirror of this machine's apt sources (one-line or deb822).
host_mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }')
  [ -n "$uri" ] || uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk '/^URIs:/ && $2 ~ /debian/ && $2 !~ /security/ { print $2; exit }')
  echo "${uri:-http://deb.debian.org/debian}"
}
mirror=$(host_mirror)

# What this shell has mounted, unmounted (innermost first) on every way out:
# a normal end, a failure, Ctrl-C or a TERM.
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
# The command running in a root, in a process group of its own: a signal for
# this script stops the whole group at once, whatever its members do with
# signals themselves, before anything is unmounted.
child=
stop_child() {
  [ -n "$child" ] || return 0
  kill -TERM -- "-$child" 2>/dev/null || true
  local second
  for second in $(seq 30); do
    kill -0 -- "-$child" 2>/dev/null || break
    sleep 1
  done
  kill -KILL -- "-$child" 2>/dev/null || true
  wait "$child" 2>/dev/null || true
  child=
}

cleanup() {
  stop_child
  unmount_all
}

# After cleaning up, a shell dies of the signal it got, so that whatever
# waits for it (this script's own shell, make) stops too instead of going on.
die_of() {
  cleanup
  trap - "$1" EXIT
  kill -s "$1" "$BASHPID"
}
trap cleanup EXIT
trap 'die_of INT' INT
trap 'die_of TERM' TERM

# Removes a root, never crossing into a file system mounted inside it.
remove_root() {
  local dir=$1
  if grep -q " $dir/" /proc/self/mounts; then
    echo "still mounted under $dir; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

mount_into() {  # mount_into ROOT: what the builds need of the kernel
  local root=$1
  mount -t proc proc "$root/proc" && mounted+=("$root/proc")
  mount -t sysfs sysfs "$root/sys" && mounted+=("$root/sys")
  mount --rbind /dev "$root/dev" && mounted+=("$root/dev")
  mount --make-rslave "$root/dev"
}

# The pristine root of a suite, made once.
pristine() {
  local suite=$1 tarball="$work/$1-minbase.tar"
  if [ ! -f "$tarball" ]; then
    local scratch="$work/$suite-debootstrap"
    remove_root "$scratch"
    PATH="/usr/sbin:/sbin:$PATH" debootstrap --variant=minbase --include="$INCLUDE" \
      "$suite" "$scratch" "$mirror" >"$work/$suite-debootstrap.log" 2>&1
    tar -C "$scratch" -cf "$tarball.part" .
    mv "$tarball.part" "$tarball"
    remove_root "$scratch"
  fi
  echo "$tarball"
}

# Copies in what lets the root reach the registries as this machine does.
copy_network_settings() {
  local root=$1
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  if compgen -G "/usr/local/share/ca-certificates/*" >/dev/null; then
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
    chroot "$root" update-ca-certificates >/dev/null
  fi
  [ -f /etc/pip.conf ] && cp /etc/pip.conf "$root/etc/pip.conf"
  [ -d /etc/xdg/pip ] && mkdir -p "$root/etc/xdg" && cp -r /etc/xdg/pip "$root/etc/xdg/"
  [ -f "$HOME/.config/pip/pip.conf" ] && mkdir -p "$root/root/.config/pip" &&
    cp "$HOME/.config/pip/pip.conf" "$root/root/.config/pip/"
  [ -f "$HOME/.pip/pip.conf" ] && mkdir -p "$root/root/.pip" && cp "$HOME/.pip/pip.conf" "$root/root/.pip/"
  return 0
}

# The variables a person's login would carry, and this machine's OpenBLAS
# settings, which NumPy's BLAS needs here.
chroot_environment() {
  local env=(HOME=/root LANG=C.UTF-8 TERM=dumb
             PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  local name
  for name in $(compgen -e | grep -E '^(OPENBLAS_|https?_proxy$|HTTPS?_PROXY$|no_proxy$)' || true); do
    env+=("$name=${!name}")
  done
  printf '%s\n' "${env[@]}"
}

# Prepares the root of a suite and runs `commands` in its clone; in a
# subshell of its own, which stops at the first failure and unmounts on
# every way out.
run_in_fresh_root() {
  local suite=$1 commands=$2 root="$work/$1/root"
  (
    set -euo pipefail
    trap cleanup EXIT
    trap 'die_of INT' INT
    trap 'die_of TERM' TERM
    remove_root "$work/$suite"
    mkdir -p "$root"
    tar -C "$root" -xf "$(pristine "$suite")"
    copy_network_settings "$root"
    git clone -q "$repo" "$root/root/zorvane"
    mount_into "$root"
    mapfile -t environment < <(chroot_environment)
    setsid chroot "$root" /usr/bin/env -i "${environment[@]}" \
      /bin/bash -c "cd /root/zorvane && $commands" </dev/null &
    child=$!
    wait "$child"  # returns at once when a signal arrives
    child=
  )
}

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
