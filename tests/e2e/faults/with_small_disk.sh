#!/usr/bin/env bash
# Runs a command with a small file system mounted at a folder of its own, named to Windows
# programs (as a Z: path) in ZAMRIK_TEST_SMALL_DISK. Without the right to mount, the command
# runs without it, and the test that needs it skips.
set -u
folder=$(mktemp -d "${TMPDIR:-/tmp}/zamrik-small-disk.XXXXXX")
if mount -t tmpfs -o size=16k,mode=0777 zamrik-small-disk "$folder" 2>/dev/null; then
  export ZAMRIK_TEST_SMALL_DISK="Z:${folder//\//\\}"
else
  folder_not_mounted=1
fi
"$@"
status=$?
[ -n "${folder_not_mounted:-}" ] || umount --lazy "$folder"
rmdir "$folder"
exit $status
