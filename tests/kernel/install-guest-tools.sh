#!/bin/sh
# Installs what the kernel tier needs on the host when it is missing: QEMU, a static busybox
# for the guest, cpio to pack it, xz for compressed kernel modules, and the D-Bus daemon and
# the clients (dbus-send, busctl) that the guest runs for tavrikd.
set -eu
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
missing=
for p in qemu-system-x86 busybox-static cpio xz-utils dbus-daemon dbus-bin systemd; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
[ -z "$missing" ] && exit 0
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
