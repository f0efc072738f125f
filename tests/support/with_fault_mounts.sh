#!/bin/sh
# Runs a command inside a private mount namespace that holds two folders for fault tests:
#   VIREO_SMALL_DISK       a small file system of its own (16 MiB), which fills up
#   VIREO_READONLY_DIR     a read-only view of VIREO_READONLY_SOURCE, which stays writable, so
#                          that a test puts files there and reads them through the view
# Read-only permissions do not stop root, and the disks of a test machine do not fill up:
# mounts do both, for root and, through a user namespace, for others.
#   with_fault_mounts.sh SCRATCH_DIR COMMAND [ARGUMENTS...]
# The mounts vanish with the namespace. Exits 77 (skipped) with the reason when this
# machine lets no process make the namespace or the mounts.
set -u
dir=$1
shift
rm -rf "$dir" && mkdir -p "$dir/small" "$dir/writable" "$dir/readonly" || exit 1
if [ "$(id -u)" = 0 ] && unshare -m true 2> /dev/null; then
  flags=-m
elif unshare -rm true 2> /dev/null; then
  flags=-rm
else
  echo "SKIPPED: this machine does not let a process make a mount namespace (unshare -m / -rm refused)"
  exit 77
fi
exec unshare $flags sh -c '
  dir=$1
  shift
  if ! mount -t tmpfs -o size=16m vireo-small-disk "$dir/small"; then
    echo "SKIPPED: no small file system can be mounted here"
    exit 77
  fi
  if ! mount --bind "$dir/writable" "$dir/readonly" || ! mount -o remount,bind,ro "$dir/readonly"; then
    echo "SKIPPED: no read-only view can be mounted here"
    exit 77
  fi
  export VIREO_SMALL_DISK="$dir/small" VIREO_READONLY_DIR="$dir/readonly" VIREO_READONLY_SOURCE="$dir/writable"
  exec "$@"
' with_fault_mounts "$dir" "$@"
