#!/usr/bin/env bash
# Run a command in the build place that tools/provision.sh prepared: directly on a host
# that has CPython 3.14, or chrooted into the cached sid root with this checkout
# bind-mounted at the same path. Mounts live in a private namespace and vanish with it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
place=$("$repo/tools/provision.sh")
if [ "$place" = host ]; then
  cd "$repo" && exec "$@"
fi
root=$place
# Held until the task ends, so that provisioning for another package list leaves this root be.
exec 8>"$root.use"
flock -s 8
cmd=$(printf '%q ' "$@")
# The root starts from a clean environment; the project's own QV_* settings go along.
for v in $(compgen -e | grep '^QV_' || true); do
  cmd="export $(printf '%q' "$v=${!v}"); $cmd"
done
exec unshare --mount --propagation private bash -c '
  set -e
  root=$1 repo=$2 cmd=$3 cwd=$4
  mkdir -p "$root$repo" "$root/proc" "$root/dev" "$root/tmp"
  mount --bind "$repo" "$root$repo"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/dev/shm" 2>/dev/null || true
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  # The host may trust certificate authorities the root does not know (a proxy in front
  # of the package registries): hand its bundle in for pip.
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca.crt" 2>/dev/null || true
  exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" QV_IN_ROOT=1 \
    PIP_CERT=/etc/ssl/host-ca.crt \
    bash -c "cd \"$cwd\" && $cmd"
' bash "$root" "$repo" "$cmd" "$PWD"
