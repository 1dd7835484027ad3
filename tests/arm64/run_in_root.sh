#!/bin/sh
# Runs a command inside the arm64 root made by make_root.sh, under qemu-user:
#
#     tests/arm64/run_in_root.sh ROOT COMMAND [ARGUMENT...]
#
# The repository is at /src in the root, read-only, and /opt/venv/bin leads
# PATH. The mounts live in a mount namespace of the command's own, so they
# end with it and none is left behind. Run as root.
set -eu
root=$(cd "$1" && pwd)
shift
exec unshare --mount --propagation private sh -eu -c '
  root=$1; shift
  mkdir -p "$root/src" "$root/proc"
  mount --bind "$(pwd)" "$root/src"
  mount -o remount,bind,ro "$root/src"
  mount -t proc proc "$root/proc"
  exec chroot "$root" /usr/bin/env -i PATH=/opt/venv/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PYTHONDONTWRITEBYTECODE=1 sh -c "cd /src && exec \"\$@\"" sh "$@"
' sh "$root" "$@"
