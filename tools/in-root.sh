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
# A free-threaded interpreter that exists on the host (QV_PYTHON_FT, the path of its
# python) is seen inside at the same path: its installation prefix goes in read-only.
ft_prefix=
if [ -n "${QV_PYTHON_FT:-}" ]; then
  ft_bin=$(readlink -f "$QV_PYTHON_FT")
  [ -x "$ft_bin" ] || { echo "QV_PYTHON_FT=$QV_PYTHON_FT is not an executable" >&2; exit 2; }
  ft_prefix=$(dirname "$(dirname "$ft_bin")")
fi
exec unshare --mount --propagation private bash -c '
  set -e
  root=$1 repo=$2 cmd=$3 cwd=$4 ft=$5
  mkdir -p "$root$repo" "$root/proc" "$root/dev" "$root/tmp"
  mount --bind "$repo" "$root$repo"
  if [ -n "$ft" ]; then
    mkdir -p "$root$ft"
    mount --bind -o ro "$ft" "$root$ft"
  fi
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
' bash "$root" "$repo" "$cmd" "$PWD" "$ft_prefix"
