#!/bin/sh
# Checks a udev rules file against the device ID tables of the programs: one rule for each
# application and bootloader ID, matched on the HID parent's kernel name in upper-case hex,
# giving the seat's user and the group plugdev read and write access, and no other rule.
# Usage: check-rule.sh <rules-file> <device_ids.cpp> <tavrik_message.h>
set -eu
rules=$1
ids=$2
message=$3

vendor=$(sed -n 's/.*kVendorId = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p' "$message" | tr a-f A-F)
products=$(sed -n 's/.*deviceId(kVendorId, 0x\([0-9A-Fa-f]\{4\}\)).*/\1/p' "$ids" | tr a-f A-F)
count=$(echo "$products" | grep -c .)
[ -n "$vendor" ] && [ "$count" -eq 6 ] || {
    echo "could not read the six device IDs from $ids (vendor '$vendor', $count products)" >&2
    exit 1
}

expected=$(mktemp)
actual=$(mktemp)
trap 'rm -f "$expected" "$actual"' EXIT
for product in $products; do
    printf 'SUBSYSTEM=="hidraw", KERNELS=="0003:%s:%s.*", TAG+="uaccess", GROUP="plugdev", MODE="0660"\n' \
        "$vendor" "$product"
done | sort >"$expected"
grep -v '^[[:space:]]*\(#\|$\)' "$rules" | sort >"$actual"
if ! diff -u "$expected" "$actual"; then
    echo "$rules does not hold exactly the rules for the six device IDs (--- expected)" >&2
    exit 1
fi
echo "$rules: the rules for all six device IDs"
