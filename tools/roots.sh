# Fresh minimal Debian roots for the checks that run as a newcomer would
# (tools/fresh-check.sh, tools/wheels.sh); sourced, not run. The caller sets
#   repo   the repository to clone into each root
#   cache  where the pristine roots are kept as tarballs (made once each)
#   work   where the roots of this run are unpacked, one directory a suite
# Sourcing installs traps that stop what runs in a root and unmount on every
# way out: a normal end, a failure, Ctrl-C or a TERM. Needs root.

# What debootstrap adds to its minimal base: enough to clone and run make.
INCLUDE=git,make,python3,ca-certificates

if [ "$(id -u)" -ne 0 ]; then
  echo "$(basename "$0") needs root (debootstrap, chroot, mount)" >&2
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
  local suite=$1 tarball="$cache/$1-minbase.tar"
  if [ ! -f "$tarball" ]; then
    local scratch="$cache/$suite-debootstrap"
    mkdir -p "$cache"
    remove_root "$scratch"
    PATH="/usr/sbin:/sbin:$PATH" debootstrap --variant=minbase --include="$INCLUDE" \
      "$suite" "$scratch" "$mirror" >"$cache/$suite-debootstrap.log" 2>&1
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
  # The registry serves a dated snapshot of Debian's archive, and sid's
  # Release file is valid for a few days only, so apt inside the roots would
  # refuse it as expired. Only the roots are told to accept it; a newcomer's
  # set-up is untouched.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99snapshot-validity"
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

# Prepares the root of a suite and runs `commands` in its clone, with the
# files `inputs` copied into the clone's inputs/ first; in a subshell of its
# own, which stops at the first failure and unmounts on every way out. The
# root stays for the caller to read and remove (remove_root "$work/SUITE").
run_in_fresh_root() {
  local suite=$1 commands=$2 root="$work/$1/root"
  shift 2
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
    if [ $# -gt 0 ]; then
      mkdir -p "$root/root/zorvane/inputs"
      cp "$@" "$root/root/zorvane/inputs/"
    fi
    mount_into "$root"
    mapfile -t environment < <(chroot_environment)
    setsid chroot "$root" /usr/bin/env -i "${environment[@]}" \
      /bin/bash -c "cd /root/zorvane && $commands" </dev/null &
    child=$!
    wait "$child"  # returns at once when a signal arrives
    child=
  )
}

