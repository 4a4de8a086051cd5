# Shows the tools at work on the two modules of demo.scn, which tavrik_sim presents as HID
# devices: a listing, a read, a write, events and a firmware upgrade. Runs in the kernel
# tier's guest or on any machine with /dev/uhid, with the programs on PATH and KT_DATA naming
# the directory of demo.scn and firmware.hex.
work=$(mktemp -d) && cd "$work" || exit 1
trap 'rm -rf "$work"' EXIT
echo "== Tavrik tools on virtual modules =="

tavrik_sim -v "$KT_DATA/demo.scn" >sim.log 2>&1 &
sim=$!
# Until the kernel has made both modules' nodes (tavrik_sim names itself in their phys text).
n=0
while [ "$(cat /sys/class/hidraw/*/device/uevent 2>/dev/null | grep -c '^HID_PHYS=tavrik_sim/')" -lt 2 ] &&
    [ "$n" -lt 100 ]; do
    sleep 0.1
    n=$((n + 1))
done

failed=0
# show COMMAND...: the command line, what it prints and its exit status, which should be 0.
show() {
    echo
    echo "\$ $*"
    "$@"
    status=$?
    echo "(exit status $status)"
    [ "$status" -eq 0 ] || failed=$((failed + 1))
}

echo
echo "\$ tavrik_info -e 0     (Enter is pressed after 4 s)"
(sleep 4 && echo) | tavrik_info -e 0
status=$?
echo "(exit status $status)"
[ "$status" -eq 0 ] || failed=$((failed + 1))
show tavrik_info -l
show tavrik_info -i 0 1
show tavrik_info -o 0 2 1
show tavrik_info -i 0 2 1
show tavrik_program -l
show tavrik_program -p "$KT_DATA/firmware.hex" DEMO-01
sleep 1 # the module restarts into its application
show tavrik_info -i 0 1

kill -TERM "$sim"
wait "$sim"
echo
echo "What the modules saw (tavrik_sim -v):"
# Leaving out the requests of every open and poll.
grep -v ': \(status request\|information block\|IO configuration\|keep-alive\|state exchange\)' \
    sim.log | sed 's/^/  /'
# The host side looks for this line to tell a demo that ran from one that did not.
echo "== end of the demo: $failed commands failed =="
[ "$failed" -eq 0 ]
