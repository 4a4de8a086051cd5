#!/bin/sh
# The kernel test tier: boots Debian's cloud kernel in QEMU (TCG) with uhid, runs the real
# tavrik_info and tavrik_program against modules that tavrik_sim presents as HID devices,
# and reports each scenario as a test result. Exits 0 only when every scenario passed.
# Usage: scripts/kernel-tier.sh <build-dir>   (a build with the tests, -DTAVRIK_BUILD_TESTS=ON:
# the scenarios run tavrik_info, tavrik_program, tavrik_sim, tavrik_exporter, tavrikd, the
# library's example and the bus client of the tests; the programs use the build's
# TAVRIK_CONFIG_DIR inside the guest)
set -eu
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
kernel_tests=$root/tests/kernel
work=$build/kernel-tier
mkdir -p "$work"

"$kernel_tests/install-guest-tools.sh"
kernel=$("$kernel_tests/fetch-kernel.sh" "${HOME:-$build}/.cache/tavrik-kernel")
# The real udev daemon, for the scenario that checks the project's udev rule.
udev=$("$kernel_tests/fetch-udev.sh" "${HOME:-$build}/.cache/tavrik-udev")
"$kernel_tests/make-initramfs.sh" "$build" "$kernel" "$kernel_tests/guest/run-scenarios.sh" \
    "$kernel_tests/scenarios" "$work/initramfs.cpio.gz" "$udev"

echo "kernel-tier: booting $(cat "$kernel/package") under QEMU"
status=0
"$kernel_tests/boot-guest.sh" "$kernel" "$work/initramfs.cpio.gz" 900 >"$work/console.log" ||
    status=$?
[ "$status" -eq 0 ] || echo "kernel-tier: the guest did not power off cleanly (status $status)"

expected=$(cd "$kernel_tests/scenarios" && ls -- *.sh | sed 's/\.sh$//')
"$kernel_tests/report-results.sh" "$work/console.log" $expected
[ "$status" -eq 0 ]
