#!/bin/sh
# Turns the guest's console into test results: one line per scenario, the log of every failed
# one, and a closing count. A scenario that never reported counts as failed.
# Usage: report-results.sh <console-log> <scenario-name>...
set -eu
console=$1
shift
clean=$(mktemp)
trap 'rm -f "$clean"' EXIT
# Firmware and terminal set-up sequences can precede a marker on its line.
tr -d '\r' <"$console" | sed 's/.*@@kt /@@kt /' >"$clean"

passed=0
failed=0
for name in "$@"; do
    if grep -qx "@@kt pass $name" "$clean"; then
        echo "kernel-tier: PASS $name"
        passed=$((passed + 1))
        continue
    fi
    failed=$((failed + 1))
    if grep -qx "@@kt fail $name" "$clean"; then
        echo "kernel-tier: FAIL $name"
    else
        echo "kernel-tier: FAIL $name (did not report)"
    fi
    awk -v name="$name" '
        $0 == "@@kt begin " name { inside = 1; next }
        /^@@kt (pass|fail) / { inside = 0 }
        inside && sub(/^@@kt log /, "") { print "    " $0 }' "$clean"
done

if ! grep -q '^@@kt end ' "$clean"; then
    echo "kernel-tier: the guest did not finish its run; last console lines:"
    grep -v '^@@kt ' "$clean" | tail -n 20 | sed 's/^/    /'
fi
echo "kernel-tier: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
