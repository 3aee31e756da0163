#!/usr/bin/env bash
# small_disk.sh mount|unmount FOLDER [SIZE]
#
# The small disk of the disk-full tests: "mount" makes FOLDER and mounts a fresh tmpfs of SIZE
# (default 16m) on it, replacing one that an interrupted run left behind; "unmount" takes it away
# and removes FOLDER. Wine reaches it through Z:. Mounting needs root; without it this fails
# loudly instead of letting the tests run against an ordinary, roomy disk.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 mount|unmount FOLDER [SIZE]" >&2; exit 2; }
action=$1 dir=${2%/} size=${3:-16m}
case "$dir" in
  /?*/?*) ;;
  *) echo "small_disk: FOLDER must be an absolute path below a top-level folder" >&2; exit 2 ;;
esac

release() {
  if mountpoint -q -- "$dir"; then
    # A lazy unmount when something still holds a file open there: the tmpfs goes with its last user.
    umount -- "$dir" 2>/dev/null || umount -l -- "$dir"
  fi
}

case "$action" in
  mount)
    [ "$(id -u)" = 0 ] || { echo "small_disk: mounting a tmpfs needs root (uid $(id -u))" >&2; exit 1; }
    mkdir -p -- "$dir"
    release
    mount -t tmpfs -o "size=$size,mode=0777" tavrin_small_disk "$dir" \
      || { echo "small_disk: cannot mount a tmpfs of $size on $dir" >&2; exit 1; }
    mountpoint -q -- "$dir" || { echo "small_disk: $dir is not a mount point after mounting" >&2; exit 1; }
    ;;
  unmount)
    release
    rmdir -- "$dir" 2>/dev/null || true
    ;;
  *)
    echo "small_disk: unknown action '$action'" >&2
    exit 2
    ;;
esac
