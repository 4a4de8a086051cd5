#!/bin/sh
# Shows the main job on virtual modules: a listing, a read, a write, events and a firmware
# upgrade, with tavrik_sim presenting the modules as HID devices. Where this machine lets us
# use /dev/uhid that happens here; otherwise in a QEMU guest, as the kernel tier does.
# Usage: scripts/demo.sh <build-dir>   (a build with tavrik_info, tavrik_program, tavrik_sim)
set -eu
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
kernel_tests=$root/tests/kernel

if [ -w /dev/uhid ]; then
    # The tools record the demo's modules in tavrik.ini: a build of their own keeps them out of
    # the system's file.
    demo=$build/demo
    cmake -S "$root" -B "$demo" -DCMAKE_BUILD_TYPE=Release -DTAVRIK_CONFIG_DIR="$demo/etc" >/dev/null
    cmake --build "$demo" -j"$(nproc)" --target tavrik_info tavrik_program tavrik_sim >/dev/null
    mkdir -p "$demo/etc"
    PATH=$demo/tavrik_info:$demo/bootload:$demo/sim:$PATH KT_DATA=$kernel_tests/scenarios \
        sh "$kernel_tests/guest/demo.sh"
    exit 0
fi

echo "No /dev/uhid here: showing the tools in a QEMU guest (about a minute)."
"$kernel_tests/install-guest-tools.sh"
kernel=$("$kernel_tests/fetch-kernel.sh" "${HOME:-$build}/.cache/tavrik-kernel")
mkdir -p "$build/kernel-tier"
KT_PROGRAMS="tavrik_info/tavrik_info bootload/tavrik_program sim/tavrik_sim" \
    "$kernel_tests/make-initramfs.sh" "$build" "$kernel" "$kernel_tests/guest/demo.sh" \
    "$kernel_tests/scenarios" "$build/kernel-tier/demo.cpio.gz"
console=$build/kernel-tier/demo-console.log
status=0
"$kernel_tests/boot-guest.sh" "$kernel" "$build/kernel-tier/demo.cpio.gz" 600 >"$console" ||
    status=$?
sed -n 's/\r$//; s/.*\(== Tavrik tools on virtual modules ==\)/\1/; /^== Tavrik tools/,/^== end of the demo/p' \
    "$console"
# The guest's own exit status is lost at power-off: its last line says how the demo went.
if [ "$status" -ne 0 ] || ! grep -q '== end of the demo: 0 commands failed ==' "$console"; then
    echo "The demo did not run through (guest status $status); the guest's console: $console" >&2
    exit 1
fi
