# tavrikd, as its own user in plugdev, holds the modules that tavrik_sim presents through the
# kernel and serves them on a system-type D-Bus daemon with the project's bus policy: a member
# of plugdev reads, sets, follows signals and inhibits; a user outside plugdev is refused by
# the bus. udev, not a periodic scan, tells the daemon of modules that leave and arrive, and a
# module taken by Inhibit() is free for tavrik_info until the holder lets go.
mkdir -p /etc /run
cat >/etc/passwd <<'USERS'
root:x:0:0:root:/root:/bin/sh
tavrikd:x:999:999:the service:/tmp:/bin/sh
member:x:1000:1000:in plugdev:/tmp:/bin/sh
outsider:x:1001:1001:not in plugdev:/tmp:/bin/sh
USERS
cat >/etc/group <<'GROUPS'
root:x:0:
plugdev:x:46:member,tavrikd
tavrikd:x:999:
member:x:1000:
outsider:x:1001:
GROUPS
mount -t tmpfs tmpfs /run

cat >as <<'AS'
#!/bin/sh
user=$1
shift
exec su -c 'exec "$@"' -- "$user" as "$@"
AS
chmod 755 as

BUS=unix:path=/run/tavrik-bus/socket
MODULE=/io/tavrik1/module/KT_2dBUS_2d01
NEW_MODULE=/io/tavrik1/module/KT_2dBUS_2d02
UDEVD_STARTED=
BUS_PID=
DAEMON_PID=
WATCH_PID=

# bus USER ARGS...: busctl on the guest's bus as that user; output in out and err, as run does.
bus() {
    user=$1
    shift
    run ./as "$user" busctl --address="$BUS" "$@"
}
# send USER METHOD ARGS...: a call with dbus-send, which names the error of a refused call.
send() {
    user=$1
    method=$2
    shift 2
    run ./as "$user" dbus-send --bus="$BUS" --print-reply --dest=io.tavrik1 "$MODULE" "$method" "$@"
}
state_is() {
    [ "$(busctl --address="$BUS" get-property io.tavrik1 "$1" io.tavrik1.Module State \
        2>/dev/null)" = "s \"$2\"" ]
}
# expect_state PATH STATE SECONDS
expect_state() {
    wait_until "$3" state_is "$1" "$2" ||
        fail "$1 is not \"$2\" within $3 s: $(busctl --address="$BUS" get-property io.tavrik1 \
            "$1" io.tavrik1.Module State 2>&1)"
}
object_listed() {
    busctl --address="$BUS" --list tree io.tavrik1 2>/dev/null | grep -qx "$1"
}
object_gone() {
    ! object_listed "$1"
}
watched() {
    grep -q -- "$1" watch.out 2>/dev/null
}
# expect_watched PATTERN: the member's watcher printed a line matching PATTERN (grep -e).
expect_watched() {
    wait_until "$KT_WAIT_SECONDS" watched "$1" || {
        fail "no signal matching \"$1\" reached the member"
        sed 's/^/  watch: /' watch.out
    }
}
# ended PID: the process has exited; a child stays a zombie until waited for.
ended() {
    state=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ -z "$state" ] || [ "$state" = Z ]
}
# stop_pid PID NAME [STATUS]: ends a process with SIGTERM within a bound and, given STATUS,
# checks that it exits with it (the watcher and dbus-daemon just die of the signal).
stop_pid() {
    kill -TERM "$1" 2>/dev/null
    wait_until 20 ended "$1" || {
        fail "$2 did not stop on SIGTERM"
        kill -KILL "$1" 2>/dev/null
    }
    wait "$1"
    stopped=$?
    [ -z "${3:-}" ] || [ "$stopped" -eq "$3" ] || fail "$2 exited with $stopped"
}
daemon_cleanup() {
    [ -z "$WATCH_PID" ] || stop_pid "$WATCH_PID" watcher
    [ -z "$DAEMON_PID" ] || stop_pid "$DAEMON_PID" tavrikd 0
    [ -z "$BUS_PID" ] || stop_pid "$BUS_PID" dbus-daemon
    WATCH_PID= DAEMON_PID= BUS_PID=
    [ -z "$UDEVD_STARTED" ] || timeout 30 udevadm control --exit
    UDEVD_STARTED=
    umount /run
    rm -f /etc/passwd /etc/group
}

# udev first, so that the modules' nodes are plugdev's from the start.
if timeout 30 /usr/lib/systemd/systemd-udevd --daemon >udevd.log 2>&1; then
    UDEVD_STARTED=1
else
    fail "systemd-udevd did not start"
    sed 's/^/  udevd: /' udevd.log
fi
mkdir -p /run/tavrik-bus
# It prints its address once it listens; the socket's file is there from before.
dbus-daemon --config-file=/kt/system-bus.conf --nofork --nopidfile --print-address >bus.log 2>&1 &
BUS_PID=$!
wait_until "$KT_WAIT_SECONDS" grep -q '^unix:' bus.log || {
    fail "dbus-daemon did not listen"
    sed 's/^/  dbus-daemon: /' bus.log
}
sim_start daemon.scn 1
udevadm settle --timeout=30 2>/dev/null

# The member follows the signals from before the daemon starts.
timeout "$KT_TOOL_TIMEOUT" ./as member kt_bus_client "$BUS" watch >watch.out 2>watch.err &
WATCH_PID=$!
wait_until "$KT_WAIT_SECONDS" watched '^watching$' || fail "the watcher did not subscribe"

# No periodic scan within the scenario: only udev can tell of later modules.
timeout "$KT_TOOL_TIMEOUT" ./as tavrikd tavrikd --bus "$BUS" --rescan-ms 3600000 \
    --reopen-min-ms 200 >tavrikd.log 2>&1 &
DAEMON_PID=$!
expect_state "$MODULE" running "$KT_WAIT_SECONDS"

bus member --list tree io.tavrik1
expect_status 0
expect_out <<'OUT'
/
/io
/io/tavrik1
/io/tavrik1/module
/io/tavrik1/module/KT_2dBUS_2d01
OUT
bus member get-property io.tavrik1 "$MODULE" io.tavrik1.Module Serial State InfoSerial Name \
    ProductString TypeText FirmwareVersion HardwareVersion WatchdogTime PointCounts RelayOutputs
expect_status 0
expect_no_err
expect_out <<'OUT'
s "KT-BUS-01"
s "running"
s "KT-BUS-01"
s "Pump"
s "Tavrik IO"
s "TIO-8"
s "2.1.0"
s "B"
x 1700000000
au 13 4 2 0 0 0 0 0 0 0 0 0 0 0
au 1 0
OUT

# The member reads, sets an output the module then confirms, and reads it back.
bus member call io.tavrik1 "$MODULE" io.tavrik1.Module GetValue uu 0 1
expect_status 0
expect_out <<'OUT'
i 1
OUT
bus member call io.tavrik1 "$MODULE" io.tavrik1.Module SetValue uui 1 1 1
expect_status 0
expect_no_err
expect_out </dev/null
sim_expect "KT-BUS-01: outputs[1] = 1"
bus member call io.tavrik1 "$MODULE" io.tavrik1.Module GetValue uu 1 1
expect_out <<'OUT'
i 1
OUT
# The report of every input at the opening, then the module's own change.
expect_watched "^PointChanged $MODULE 0 1 1 1 "
expect_watched "^PointChanged $MODULE 0 2 1 0 "

# Outside plugdev the bus refuses every call to the service, reading ones included.
while read -r method args; do
    send outsider "$method" $args
    expect_status 1
    grep -q '^Error org.freedesktop.DBus.Error.AccessDenied: ' err ||
        fail "$method as outsider: $(cat err)"
done <<'CALLS'
io.tavrik1.Module.GetValue uint32:0 uint32:1
io.tavrik1.Module.SetValue uint32:1 uint32:0 int32:1
io.tavrik1.Module.Inhibit string:upgrade
org.freedesktop.DBus.Properties.Get string:io.tavrik1.Module string:State
CALLS
bus member call io.tavrik1 "$MODULE" io.tavrik1.Module GetValue uu 1 0
expect_out <<'OUT'
i 0
OUT

# Inhibit: the daemon lets go of the module while the member holds the descriptor, refuses
# the value calls meanwhile, and takes the module back once the holder closes it.
start ./as member kt_bus_client "$BUS" inhibit "$MODULE" upgrade
out_has inhibited
# The state changes before the reply goes.
state_is "$MODULE" inhibited || fail "the held module is not \"inhibited\""
send member io.tavrik1.Module.GetValue uint32:0 uint32:1
grep -q '^Error io.tavrik1.Error.DeviceBusy: Device is busy' err ||
    fail "GetValue while inhibited: $(cat out err)"
run ./as member tavrik_info -i 0 2 0
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT
run ./as member tavrik_info -o 0 0 1
expect_status 0
sim_expect "KT-BUS-01: outputs[0] = 1"
press_enter
finish
expect_status 0
expect_out <<'OUT'
inhibited
released
OUT
expect_state "$MODULE" running "$KT_WAIT_SECONDS"
bus member call io.tavrik1 "$MODULE" io.tavrik1.Module GetValue uu 1 0
expect_out <<'OUT'
i 1
OUT

# The member's tools through the service, on the bus that the library finds through
# DBUS_SYSTEM_BUS_ADDRESS: they print what they print directly, and tavrikd keeps the module
# all along; no "Device is busy" anywhere.
tools() {
    run ./as member env DBUS_SYSTEM_BUS_ADDRESS="$BUS" "$@"
}
tools tavrik_info -i 0 2 0
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT
tools tavrik_info -o 0 1 0
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[0] outputs[1] to 0
OUT
sim_expect "KT-BUS-01: outputs[1] = 0"
tools tavrik_info -l
expect_status 0
expect_no_err
grep -qx 'Name     : Pump' out && grep -qx 'inputs \[4\]' out && grep -qx '  0 = 1 (relay)' out ||
    fail "tavrik_info -l through the service: $(cat out)"
start ./as member env DBUS_SYSTEM_BUS_ADDRESS="$BUS" tavrik_info -e 0
out_has "Listening for events...  Press enter to exit"
press_enter
finish
expect_status 0
expect_no_err
expect_out <<'OUT'
Listening for events...  Press enter to exit
Error Event: API thread has stopped running
OUT
state_is "$MODULE" running || fail "the tools took the module from tavrikd"
# The exporter reads the held module through the service while tavrik_info -o sets an output.
busybox ip link set lo up 2>/dev/null || busybox ifconfig lo 127.0.0.1 up
start ./as member env DBUS_SYSTEM_BUS_ADDRESS="$BUS" tavrik_exporter --listen 127.0.0.1:9787
out_has "listening on http://127.0.0.1:9787/metrics"
timeout 30 busybox wget -q -O first.prom http://127.0.0.1:9787/metrics &
SCRAPE_PID=$!
tools tavrik_info -o 0 0 0
expect_status 0
expect_no_err
wait "$SCRAPE_PID" || fail "the scrape during -o failed"
grep -qx 'tavrik_up{serial="KT-BUS-01",index="0"} 1' first.prom ||
    fail "scrape through the service: $(grep tavrik_up first.prom)"
kill -TERM "$TOOL_PID"
finish
expect_status 0
# tavrik_program takes the module from tavrikd for the upgrade, and tavrikd holds it again once
# it is back in its application.
cp "$KT_DATA/firmware.hex" .
tools tavrik_program -p firmware.hex KT-BUS-01
expect_status 0
expect_no_err
[ "$(tail -n 1 out)" = "Device programming succesful" ] || fail "upgrade through the service: $(cat out)"
expect_state "$MODULE" running "$KT_WAIT_SECONDS"
tools tavrik_info -i 0 1 0
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT

# The module leaves: its API thread reports the failed reads, and udev's event makes the
# daemon drop the object.
sim_stop
expect_watched "^Error $MODULE -103 [0-9]* Communication timeout$"
wait_until 10 object_gone "$MODULE" || fail "$MODULE is still there: $(busctl --address="$BUS" \
    get-property io.tavrik1 "$MODULE" io.tavrik1.Module State 2>&1)"

# A new module arrives and udev's event alone brings it to the bus. The member's monitoring
# daemon (the library's example) hears of it once tavrikd serves it, so that the daemon's open
# on arrival goes through the service and leaves the module to it.
start ./as member env DBUS_SYSTEM_BUS_ADDRESS="$BUS" tavrik-monitor
sim_start daemon-new.scn 1
out_has "KT-BUS-02 arrived (application)"
state_is "$NEW_MODULE" running || fail "the monitor reported the module before tavrikd served it"
expect_state "$NEW_MODULE" running 10
bus member call io.tavrik1 "$NEW_MODULE" io.tavrik1.Module GetValue uu 0 0
expect_out <<'OUT'
i 0
OUT
sim_stop
out_has "KT-BUS-02 left (application)"
kill -INT "$(pidof tavrik-monitor)"
finish
expect_status 0
expect_no_err

if [ "$KT_FAILED" != 0 ]; then
    sed 's/^/  tavrikd: /' tavrikd.log
    sed 's/^/  dbus-daemon: /' bus.log
    sed 's/^/  watch: /' watch.out watch.err
fi
daemon_cleanup
