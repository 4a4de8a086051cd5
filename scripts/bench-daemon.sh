#!/bin/bash
# tavrikd's figures: what a client on the bus waits for and what the service costs, each next
# to the public library used directly on the same virtual modules. The service is
# tavrikd_virtual on a private dbus-daemon (unix socket), as its tests run it. Prints one
# table; judges nothing.
# Usage: scripts/bench-daemon.sh [--quick] [build-dir]
#   --quick: tiny counts and 1 s windows, so CI can run it and see that it still works.
set -e
cd "$(dirname "$0")/.."
quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
dir=${1:-build-dbench}

# libbenchmark-dev: the benchmarks folder needs it; the service's packages come with the rest.
./scripts/install-deps.sh libbenchmark-dev

# Release, with the test build's virtual-bus variants; tavrik.ini stays in the build tree. The
# same configuration as bench-e2e.sh, so that both can share one build directory.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTAVRIK_BUILD_TESTS=ON \
    -DTAVRIK_BUILD_BENCHMARKS=ON -DTAVRIK_MANUALS=OFF -DTAVRIK_CONFIG_DIR="$PWD/$dir/bench-etc" \
    >/dev/null
cmake --build "$dir" -j2 --target tavrikd_virtual bench_daemon_client bench_daemon_direct \
    tavrik_info_virtual tavrik_exporter_virtual >/dev/null
mkdir -p "$dir/bench-etc"

tavrikd=$PWD/$dir/daemon/tavrikd_virtual
client=$PWD/$dir/benchmarks/bench_daemon_client
direct=$PWD/$dir/benchmarks/bench_daemon_direct
info=$PWD/$dir/tavrik_info/tavrik_info_virtual
exporter=$PWD/$dir/exporter/tavrik_exporter_virtual
work=$(mktemp -d /tmp/tavrik-dbench-XXXXXX)

# Stops a process: SIGTERM, then SIGKILL after 5 s.
stop_pid() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
daemon_pid='' bus_pid=''
stop_service() {
    stop_pid "$daemon_pid"
    stop_pid "$bus_pid"
    daemon_pid='' bus_pid=''
}
cleanup() {
    stop_service
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

if [ $quick -eq 1 ]; then
    writes=20 events=10 idle_s=1 clients=50 reps=3
else
    writes=1000 events=500 idle_s=20 clients=50 reps=15
fi
wire_ms=1
# The input toggles every period_ms from toggle_from_ms after the module's first keep-alive,
# time enough for every client to subscribe first.
period_ms=23 toggle_from_ms=3000

# Starts a private bus and the service on it over the modules of a scenario; sets address.
start_service() {
    local scenario=$1 d=$work/bus-$2 i
    mkdir -p "$d"
    address=unix:path=$d/socket
    cat >"$d/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>tavrik-bench</type>
  <listen>$address</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
    # It prints its address once it listens; the socket's file is there from before.
    dbus-daemon --config-file="$d/bus.conf" --nofork --print-address >"$d/dbus.err" 2>&1 &
    bus_pid=$!
    for ((i = 0; i < 100; i++)); do
        grep -q '^unix:' "$d/dbus.err" && break
        sleep 0.05
    done
    grep -q '^unix:' "$d/dbus.err" || { cat "$d/dbus.err" >&2; exit 1; }
    mkdir -p "$d/holds"
    holds=$d/holds
    TAVRIK_VIRTUAL_SCENARIO=$scenario TAVRIK_VIRTUAL_HOLD_DIR=$holds "$tavrikd" --bus "$address" \
        >"$d/tavrikd.err" 2>&1 &
    daemon_pid=$!
    # Rescan returns once the first scan's openings are done; it fails until the name is owned.
    for ((i = 0; i < 200; i++)); do
        dbus-send --bus="$address" --print-reply --reply-timeout=5000 --dest=io.tavrik1 \
            /io/tavrik1 io.tavrik1.Manager.Rescan >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    cat "$d/tavrikd.err" >&2
    exit 1
}
# median_ms COMMAND...: the median wall time of reps runs, in ms.
median_ms() {
    local i t0 times=()
    for ((i = 0; i < reps; i++)); do
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1 </dev/null || { echo "failed: $*" >&2; exit 1; }
        times+=($((($(date +%s%N) - t0) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1000 }'
}
# scrape_ms: the exporter's own scrape time of one textfile run, in ms.
scrape_ms() {
    "$@" --textfile "$work/scrape.prom" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    awk '$1 == "tavrik_exporter_scrape_duration_seconds" { printf "%.1f", $2 * 1000 }' "$work/scrape.prom"
}

# Scenarios: modules as the library's benchmarks use them, with the wire model on.
scenario() {  # modules file [extra module lines]
    local n=$1 file=$2 i
    {
        echo "wire_ms = $wire_ms"
        for ((i = 0; i < n; i++)); do
            printf '[module]\nserial = M%03d\nlocation = %08d.\nconfig = 0 0 1 1\n' "$i" "$i"
        done
        [ -z "${3:-}" ] || printf '%b' "$3"
    } >"$file"
}
scenario 1 "$work/one.scn"
scenario 10 "$work/ten.scn"
toggles=
for ((k = 1; k <= events + 5; k++)); do
    toggles="${toggles}at = $((toggle_from_ms + k * period_ms)) set 0 0 $((k & 1))\n"
done
scenario 1 "$work/toggle.scn" "$toggles"
serials10=$(printf 'M%03d ' $(seq 0 9))

rows=()
row() {  # figure service direct
    local ratio
    ratio=$(awk -v m="$2" -v f="$3" 'BEGIN { if (m != "-" && f != "-" && f > 0) printf "%.2f", m / f; else print "-" }')
    rows+=("| $1 | $2 | $3 | $ratio |")
}
val() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
run_client() {  # output file, then the client's arguments
    local out=$1
    shift
    "$client" "$@" >"$out" || { echo "bench_daemon_client $1 failed" >&2; cat "$work"/bus-*/tavrikd.err >&2; exit 1; }
}

# SetValue until the module took it, against setValue + waitForExchange.
start_service "$work/one.scn" set
run_client "$work/set.txt" set "$address" M000 $writes
stop_service
TAVRIK_VIRTUAL_SCENARIO=$work/one.scn "$direct" set M000 $writes >"$work/set-direct.txt"
row "SetValue until the module took it, median (ms)" "$(val set_median_ms "$work/set.txt")" \
    "$(val set_median_ms "$work/set-direct.txt")"
row "SetValue until the module took it, p99 (ms)" "$(val set_p99_ms "$work/set.txt")" \
    "$(val set_p99_ms "$work/set-direct.txt")"

# The tools as a user runs them, through the service against opening the module directly,
# and the exporter's scrape of ten modules.
commands=("-l" "-i 0 0" "-o 0 1 1")
served=()
start_service "$work/one.scn" tools
for cmd in "${commands[@]}"; do
    # shellcheck disable=SC2086
    served+=("$(TAVRIK_VIRTUAL_SCENARIO=$work/one.scn TAVRIK_VIRTUAL_HOLD_DIR=$holds \
        TAVRIK_TEST_BUS_ADDRESS=$address median_ms "$info" $cmd)")
done
stop_service
start_service "$work/ten.scn" scrape
served_scrape=$(TAVRIK_VIRTUAL_SCENARIO=$work/ten.scn TAVRIK_VIRTUAL_HOLD_DIR=$holds \
    TAVRIK_TEST_BUS_ADDRESS=$address scrape_ms "$exporter")
stop_service
for i in "${!commands[@]}"; do
    # shellcheck disable=SC2086
    row "tavrik_info ${commands[$i]}, median of $reps runs (ms)" "${served[$i]}" \
        "$(TAVRIK_VIRTUAL_SCENARIO=$work/one.scn median_ms "$info" ${commands[$i]})"
done
row "exporter scrape of 10 modules (ms)" "$served_scrape" \
    "$(TAVRIK_VIRTUAL_SCENARIO=$work/ten.scn scrape_ms "$exporter")"
# Idle CPU with 1 and 10 modules, the service's periodic scan included.

for n in 1 10; do
    scn=$work/one.scn serials=M000
    [ $n -eq 1 ] || scn=$work/ten.scn serials=$serials10
    start_service "$scn" idle$n
    run_client "$work/idle$n.txt" idle "$address" "$daemon_pid" $idle_s
    stop_service
    # shellcheck disable=SC2086
    TAVRIK_VIRTUAL_SCENARIO=$scn "$direct" idle $idle_s $serials >"$work/idle$n-direct.txt"
    row "idle CPU, $n module$([ $n -eq 1 ] || echo s) over ${idle_s} s (% of a core)" \
        "$(val idle_cpu_percent "$work/idle$n.txt")" "$(val idle_cpu_percent "$work/idle$n-direct.txt")"
done

# Events. The module-to-API-thread part is the same code on both paths, timed from the
# module's change directly; the service's part is timed from the signal's own timestamp,
# taken on the API thread when the library raised the event, to its arrival at the client.
TAVRIK_VIRTUAL_SCENARIO=$work/one.scn "$direct" events M000 $events >"$work/events-direct.txt"
row "event: module change→callback on the API thread, median (ms)" "-" \
    "$(val event_median_ms "$work/events-direct.txt")"
row "event: module change→callback on the API thread, p99 (ms)" "-" \
    "$(val event_p99_ms "$work/events-direct.txt")"
timeout_s=$(((toggle_from_ms + (events + 5) * period_ms) / 1000 + 10))
for c in 1 $clients; do
    start_service "$work/toggle.scn" sig"$c"
    run_client "$work/sig$c.txt" signals "$address" "$daemon_pid" "$c" $events $timeout_s \
        "$bus_pid"
    stop_service
    who=$([ "$c" -eq 1 ] && echo "1 client" || echo "last of $c clients")
    row "PointChanged: callback→$who, median (ms)" "$(val signal_median_ms "$work/sig$c.txt")" "-"
    row "PointChanged: callback→$who, p99 (ms)" "$(val signal_p99_ms "$work/sig$c.txt")" "-"
done
listen_s=$(awk -v n=$events -v p=$period_ms 'BEGIN { printf "%.1f", n * p / 1000 }')
TAVRIK_VIRTUAL_SCENARIO=$work/toggle.scn "$direct" listen M000 $((toggle_from_ms + period_ms)) \
    "$listen_s" >"$work/listen-direct.txt"
for c in 1 $clients; do
    row "CPU, input toggling every $period_ms ms, $c client$([ "$c" -eq 1 ] || echo s) (% of a core)" \
        "$(val daemon_cpu_percent "$work/sig$c.txt")" "$(val listen_cpu_percent "$work/listen-direct.txt")"
done
# Where the fan-out goes: the bus copies each signal to every subscriber.
for c in 1 $clients; do
    row "dbus-daemon CPU meanwhile, $c client$([ "$c" -eq 1 ] || echo s) (% of a core)" \
        "$(val bus_cpu_percent "$work/sig$c.txt")" "-"
done

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
echo "Model: wire_ms = $wire_ms; $writes writes, $events events (input toggled every $period_ms ms), CPU windows of ${idle_s} s (idle) and ${listen_s} s (toggling), from /proc/PID/stat"
echo "Direct: the public library in one process on the same scenario; a callback is where its event path ends."
echo
echo "| Figure | tavrikd | Direct library | Ratio |"
echo "|---|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
