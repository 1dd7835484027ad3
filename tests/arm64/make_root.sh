#!/bin/sh
# Makes a Debian arm64 root in $1 whose programs run under qemu-user through
# binfmt_misc, with a virtual environment at /opt/venv holding numpy and
# pytest from PyPI: where the aarch64 wheel is installed and tested. pip in
# the root trusts the certificates this machine trusts. The root is made in
# $1.partial and moved into place when whole; run as root.
set -eu
root=$1
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
test -e /proc/sys/fs/binfmt_misc/register || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
update-binfmts --enable qemu-aarch64 2>/dev/null || true
if ! test -e "$root.partial/.debootstrapped"; then
  rm -rf "$root.partial"
  debootstrap --arch=arm64 --variant=minbase --include=python3,python3-venv,ca-certificates \
    bookworm "$root.partial" "$mirror"
  touch "$root.partial/.debootstrapped"
fi
cp /etc/resolv.conf "$root.partial/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$root.partial/etc/ssl/certs/host-ca-certificates.crt"
chroot "$root.partial" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root sh -c \
  'python3 -m venv /opt/venv && /opt/venv/bin/pip install --quiet --disable-pip-version-check \
     --cert /etc/ssl/certs/host-ca-certificates.crt numpy "pytest>=8"'
mv "$root.partial" "$root"
