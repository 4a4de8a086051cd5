#!/bin/sh
# Packs a guest for the kernel tier: busybox, the three HID modules, the programs as built with
# the shared libraries each needs, the guest's init and scenario helpers, the script that init
# runs once the kernel is ready, and the data that script reads. Given the root of an unpacked
# udev (fetch-udev.sh), it adds the udev daemon and udevadm with their libraries, and the
# project's udev rule as the only rule, where a package installs it. With tavrikd it adds a
# D-Bus daemon and its clients.
# Usage: make-initramfs.sh <build-dir> <kernel-dir> <entry-script> <data-dir> <output.cpio.gz>
#        [<udev-root>]
# KT_PROGRAMS, when set, names the programs to pack (paths in the build tree); by default every
# program that the scenarios run.
set -eu
build=$1
kernel=$2
entry=$3
data=$4
output=$5
udev_root=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

config_dir=$(sed -n 's/^TAVRIK_CONFIG_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$config_dir" ] || { echo "$build is not a configured build tree" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# It becomes the guest's root directory, which users other than root must be able to enter.
chmod 755 "$stage"
mkdir -p "$stage/bin" "$stage/sbin" "$stage/usr/bin" "$stage/usr/sbin" "$stage/lib/modules" \
    "$stage/dev" "$stage/proc" "$stage/sys" "$stage/tmp" "$stage/kt"

cp /bin/busybox "$stage/bin/busybox"
for m in hid hid-generic uhid; do
    cp "$kernel/$m.ko" "$stage/lib/modules/$m.ko"
done

# The guest mounts a fresh /tmp, which hides a build tree below /tmp from the programs' run
# path: libraries of the build go where the loader looks by default instead.
system_libraries=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# copy_with_libraries PROGRAM [LIBRARY-ROOT]: the program into /usr/bin, and each library it
# needs where the guest's loader looks for it. Libraries found below LIBRARY-ROOT, which ldd
# searches first, go to the same place without that prefix.
copy_with_libraries() {
    cp "$1" "$stage/usr/bin/"
    library_path=
    if [ -n "${2:-}" ]; then
        for dir in lib/x86_64-linux-gnu usr/lib/x86_64-linux-gnu; do
            library_path=$library_path${library_path:+:}$2/$dir
        done
    fi
    # ldd prints "name => /path (addr)" for libraries and "/path (addr)" for the loader.
    LD_LIBRARY_PATH=$library_path ldd "$1" |
        sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' |
        while read -r lib; do
            target=${lib#"${2:-/nowhere}"}
            case $target in
            /lib/* | /lib64/* | /usr/lib/*) ;;
            *) target=$system_libraries/${lib##*/} ;;
            esac
            [ -e "$stage$target" ] && continue
            mkdir -p "$stage$(dirname "$target")"
            cp -L "$lib" "$stage$target"
        done
}
# The demo needs only the tools and the simulator, which a build without the tests has.
programs=${KT_PROGRAMS:-tavrik_info/tavrik_info bootload/tavrik_program sim/tavrik_sim
    exporter/tavrik_exporter examples/tavrik-monitor daemon/tavrikd tests/kernel/kt_bus_client}
for program in $programs; do
    [ -x "$build/$program" ] || { echo "$build/$program is not built" >&2; exit 1; }
    copy_with_libraries "$build/$program"
done

# tavrikd serves on a system bus of the guest's own: this machine's dbus-daemon with a
# configuration for the guest, the project's bus policy where a package puts it, and this
# machine's clients of the bus.
case " $(echo $programs) " in
*" daemon/tavrikd "*)
    for program in /usr/bin/dbus-daemon /usr/bin/dbus-send /usr/bin/busctl; do
        copy_with_libraries "$program"
    done
    mkdir -p "$stage/usr/share/dbus-1/system.d"
    cp "$here/guest/system-bus.conf" "$stage/kt/"
    cp "$here/../../daemon/io.tavrik1.conf" "$stage/usr/share/dbus-1/system.d/"
    ;;
esac

if [ -n "$udev_root" ]; then
    # udevadm is also the daemon, under the name systemd-udevd.
    copy_with_libraries "$udev_root/bin/udevadm" "$udev_root"
    mkdir -p "$stage/usr/lib/systemd" "$stage/usr/lib/udev/rules.d"
    ln -s /usr/bin/udevadm "$stage/usr/lib/systemd/systemd-udevd"
    cp "$here/../../packaging/60-tavrik.rules" "$stage/usr/lib/udev/rules.d/"
fi

cp "$here/guest/init" "$stage/init"
cp "$here/guest/scenario-lib.sh" "$stage/kt/"
cp "$entry" "$stage/kt/entry"
cp -R "$data" "$stage/kt/data"
printf 'config_dir=%s\n' "$config_dir" >"$stage/kt/build.conf"
chmod 755 "$stage/init"

(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$output"
