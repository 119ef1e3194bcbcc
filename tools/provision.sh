#!/usr/bin/env bash
# Prepare a place to build and test: the host itself when it already has CPython 3.14
# with headers, otherwise a cached Debian sid root. Prints the mode ("host" or the root's path).
# Idempotent: the root is rebuilt only when tools/packages.txt changed.
# `provision.sh --remove` deletes every cached root instead (make distclean).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${QV_ROOT_CACHE:-/var/cache/quorvalent}
pkgs=$(grep -v '^#' "$here/packages.txt" | xargs)
stamp=$(printf '%s' "$pkgs" | sha256sum | cut -c1-16)
root="$cache/sid-$stamp"

drop() {  # a root, with anything still mounted inside it
  grep -o " $1[^ ]*" /proc/mounts | sort -r | xargs -r -n1 umount -l 2>/dev/null || true
  rm -rf --one-file-system "$1"
}

if [ "${1:-}" = --remove ]; then
  [ -d "$cache" ] || exit 0
  exec 9>"$cache/.lock"
  flock 9  # no provisioning meanwhile
  kept=0
  for dir in "$cache"/sid-*; do
    [ -d "$dir" ] || continue
    case $dir in
      *.tmp) drop "$dir" ;;
      *)
        # A task of some checkout runs in it (a shared lock on its .use file): left alone.
        exec 7>"$dir.use"
        if flock -xn 7; then
          drop "$dir" && rm -f "$dir.use" && echo "removed $dir" >&2
        else
          echo "left $dir: a task is running in it" >&2
          kept=1
        fi
        exec 7>&- ;;
    esac
  done
  exit "$kept"
fi

host_ok() {
  [ "${QV_FORCE_ROOT:-0}" = 1 ] && return 1
  command -v python3.14 >/dev/null 2>&1 || return 1
  python3.14 -c 'import sysconfig,os,sys; sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"],"Python.h")) else 1)' 2>/dev/null || return 1
  python3.14 -c 'import pytest, scikit_build_core' 2>/dev/null || return 1
}

if host_ok; then echo host; exit 0; fi

if [ -f "$root/.ready" ]; then echo "$root"; exit 0; fi

log() { echo "provision: $*" >&2; }
mkdir -p "$cache"
# One provisioner at a time; whoever waited finds the root ready.
exec 9>"$cache/.lock"
flock 9
if [ -f "$root/.ready" ]; then echo "$root"; exit 0; fi

if ! command -v debootstrap >/dev/null 2>&1; then
  log "installing debootstrap"
  apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
fi
tmp="$root.tmp"
drop "$tmp"
log "debootstrap sid into $tmp (about two minutes)"
debootstrap --variant=minbase --include="$(echo "$pkgs" | tr ' ' ',')" sid "$tmp" http://deb.debian.org/debian >&2 \
  || { log "debootstrap failed; see $tmp/debootstrap/debootstrap.log"; exit 1; }
touch "$tmp/.ready"
mv "$tmp" "$root"
# Roots made from older package lists are of no further use, unless a task of another
# checkout still runs in one (it holds a shared lock on its .use file): that one goes later.
for old in "$cache"/sid-*; do
  [ -d "$old" ] && [ "$old" != "$root" ] || continue
  exec 7>"$old.use"
  if flock -xn 7; then drop "$old"; rm -f "$old.use"; fi
  exec 7>&-
done
echo "$root"
