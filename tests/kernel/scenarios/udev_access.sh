# The project's udev rule, applied by the real udev daemon, lets a user who is not root but is
# in group plugdev list, set and program modules in both modes, and leaves a user outside
# plugdev with what the tools say about modules they cannot open. The node modes and groups
# are checked after every re-enumeration. The guest has no logind, so TAG+="uaccess" grants
# nothing here: GROUP and MODE are what is under test, and the tag is only checked to be set.
mkdir -p /etc /run
cat >/etc/passwd <<'USERS'
root:x:0:0:root:/root:/bin/sh
member:x:1000:1000:in plugdev:/tmp:/bin/sh
outsider:x:1001:1001:not in plugdev:/tmp:/bin/sh
USERS
cat >/etc/group <<'GROUPS'
root:x:0:
plugdev:x:46:member
member:x:1000:
outsider:x:1001:
GROUPS
mount -t tmpfs tmpfs /run

# as USER PROGRAM ARGS...: the program as that user, with the groups /etc/group gives it.
# Options before "--", since su would take the program's options for its own.
cat >as <<'AS'
#!/bin/sh
user=$1
shift
exec su -c 'exec "$@"' -- "$user" as "$@"
AS
chmod 755 as

# One line per hidraw node of tavrik_sim's devices: its product ID, mode, owner and group.
sim_nodes() {
    for dir in /sys/class/hidraw/*; do
        grep -q '^HID_PHYS=tavrik_sim/' "$dir/device/uevent" 2>/dev/null || continue
        product=$(sed -n 's/^HID_ID=.*:0000\(....\)$/\1/p' "$dir/device/uevent")
        echo "$product $(stat -c '%a %u %g' "/dev/${dir##*/}")"
    done | sort
}
nodes_match() {
    sim_nodes >nodes
    cmp -s expected.nodes nodes
}
# expect_nodes: the nodes, as sim_nodes prints them, are the ones on standard input, once
# udev has handled every event.
expect_nodes() {
    sort >expected.nodes
    udevadm settle --timeout=30 2>/dev/null
    wait_until "$KT_WAIT_SECONDS" nodes_match || {
        fail "hidraw nodes differ (--- expected)"
        diff -u expected.nodes nodes
    }
}

cp "$KT_DATA/udev.scn" "$KT_DATA/firmware.hex" .
sim_start ./udev.scn 3

# Without udev the kernel gives the nodes to root alone: the member of plugdev finds no module
# with tavrik_info, while tavrik_program -l, which opens nothing, lists them all.
expect_nodes <<'NODES'
F713 600 0 0
F2F1 600 0 0
F305 600 0 0
NODES
run ./as member tavrik_info -l
expect_status 0
expect_no_err
expect_out <<'OUT'
No Tavrik devices found or all devices busy
OUT
run ./as member tavrik_program -l
expect_status 0
expect_out <<'OUT'
KT-UDEV-01
KT-UDEV-02
KT-UDEV-03
OUT

# The daemon with only the project's rule, and the trigger that the package runs when it is
# installed: the rule reaches the nodes that are already there.
timeout 30 /usr/lib/systemd/systemd-udevd --daemon >udevd.log 2>&1 || {
    fail "systemd-udevd did not start"
    sed 's/^/  udevd: /' udevd.log
}
timeout 30 udevadm trigger --subsystem-match=hidraw --action=change || fail "udevadm trigger failed"
expect_nodes <<'NODES'
F713 660 0 46
F2F1 660 0 46
F305 660 0 46
NODES
for node in /dev/hidraw*; do
    udevadm info --query=property --name="$node" | grep -q '^TAGS=.*:uaccess:' ||
        fail "$node has no uaccess tag"
done

# The member of plugdev, not root, lists and sets.
run ./as member id -u
expect_out <<'OUT'
1000
OUT
run ./as member tavrik_info -l
expect_status 0
expect_no_err
expect_out <<'OUT'
------------------------------------------
Device   : 0
Index    : -1
Name     : Door
Serial   : KT-UDEV-01
Firmware : 2.1.0
Hardware : B

inputs [1]
  0 = 0

outputs [1]
  0 = 0
------------------------------------------
Device   : 1
Index    : -1
Name     : Fan
Serial   : KT-UDEV-02
Firmware : 2.1.0
Hardware : B

inputs [1]
  0 = 0

outputs [1]
  0 = 0
OUT
run ./as member tavrik_info -o 1 0 1
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[1] outputs[0] to 1
OUT
sim_expect "KT-UDEV-02: outputs[0] = 1"
run ./as member tavrik_info -i 1 0 1
expect_status 0
expect_out <<'OUT'
1
OUT

# It upgrades a module through the bootloader and back: the bootloader's node, new under
# another product ID, is the member's too, and so is the application's when it returns.
run ./as member tavrik_program -p firmware.hex KT-UDEV-01
expect_status 0
expect_no_err
sed -i 's/^Searching for device\.\{0,30\}$/Searching for device/' out
expect_out <<'OUT'
Searching for device
Hardware type 5
Device serial number KT-UDEV-01 opened
Erasing device...
Device erased
Programming device...
\rprogress 18%\rprogress 37%\rprogress 56%\rprogress 74%\rprogress 93%\rprogress 100%
Verifying flash memory...
Flash verification passed
Starting device application
Device programming succesful
OUT
sim_expect "KT-UDEV-01: presented as 04d8:f65d (bootloader)"
sim_expect "KT-UDEV-01: StartApplication: done"
sim_expect_count 2 "KT-UDEV-01: presented as 04d8:f713 (application)"
expect_nodes <<'NODES'
F713 660 0 46
F2F1 660 0 46
F305 660 0 46
NODES

# It recovers the module left in its bootloader, which then runs its application.
run ./as member tavrik_program -p firmware.hex KT-UDEV-03
expect_status 0
expect_no_err
sim_expect "KT-UDEV-03: presented as 04d8:f306 (application)"
expect_nodes <<'NODES'
F713 660 0 46
F2F1 660 0 46
F306 660 0 46
NODES
run ./as member tavrik_info -i 2 0 1
expect_status 0
expect_out <<'OUT'
0
OUT
# Nobody who may not write it records indexes.
[ ! -e "$KT_CONFIG_DIR/tavrik.ini" ] || fail "tavrik.ini was written"

# A user outside plugdev opens nothing: such modules are left out of the list, while
# tavrik_program -l still names them, and programming finds no module it can reach.
for command in "-i 0 0" "-o 0 0 1" "-e 0"; do
    run ./as outsider tavrik_info $command
    expect_status 255
    expect_out </dev/null
    expect_err <<'ERR'
Device 0 not available
ERR
done
run ./as outsider tavrik_info -l
expect_status 0
expect_out <<'OUT'
No Tavrik devices found or all devices busy
OUT
run ./as outsider tavrik_program -l
expect_status 0
expect_out <<'OUT'
KT-UDEV-01
KT-UDEV-02
KT-UDEV-03
OUT
run ./as outsider tavrik_program -p firmware.hex KT-UDEV-02
expect_status 255
expect_out <<'OUT'
Searching for device..............................
Unable to open device KT-UDEV-02 for programming.
OUT

sim_stop
grep -qx "flash KT-UDEV-01 9d006000 00000c00 0aac" udev.log ||
    fail "KT-UDEV-01's flash does not hold the image: $(grep '^flash' udev.log)"
grep -qx "mode KT-UDEV-03 app" udev.log || fail "KT-UDEV-03 did not return to its application"
grep -qx "mode KT-UDEV-02 app" udev.log || fail "KT-UDEV-02 left its application"

timeout 30 udevadm control --exit
umount /run
rm -f /etc/passwd /etc/group
