#!/bin/sh
# Boots a guest on the serial console and waits for it to power off, for at most the given
# number of seconds. The console goes to standard output.
# Usage: boot-guest.sh <kernel-dir> <initramfs> <timeout-seconds>
set -eu
exec timeout "$3" qemu-system-x86_64 -accel tcg -smp 2 -m 2048 -nographic -no-reboot -nic none \
    -kernel "$1/vmlinuz" -initrd "$2" -append "console=ttyS0 panic=-1 quiet" </dev/null
