# Helpers for the scenarios of the kernel tier, sourced by the guest's entry script. A scenario
# is a shell fragment that starts tavrik_sim on a module file, runs the real programs against
# the uhid devices and checks their output; any failed check marks the scenario failed.
# Every wait is bounded, so a hung program fails its scenario instead of the whole boot.

KT_TOOL_TIMEOUT=120
KT_WAIT_SECONDS=60
CR=$(printf '\r')

fail() {
    echo "FAIL: $*"
    KT_FAILED=1
}

# The hidraw nodes of tavrik_sim's devices (their phys text names it).
hidraw_count() {
    cat /sys/class/hidraw/*/device/uevent 2>/dev/null | grep -c '^HID_PHYS=tavrik_sim/'
}

# wait_until SECONDS COMMAND...: true once the command succeeds, false after SECONDS.
wait_until() {
    limit=$(($1 * 10))
    shift
    n=0
    while ! "$@"; do
        n=$((n + 1))
        [ "$n" -lt "$limit" ] || return 1
        sleep 0.1
    done
}

hidraw_count_is() {
    [ "$(hidraw_count)" -eq "$1" ]
}

sim_up_or_ended() {
    hidraw_count_is "$1" || ! kill -0 "$SIM_PID" 2>/dev/null
}

log_has() {
    grep -qF -- "$2" "$1" 2>/dev/null
}

# sim_start MODULE-FILE NODES: runs tavrik_sim -v on a module file (of the scenario data, or
# a path starting with / or ./) and waits until NODES hidraw nodes exist. Its output goes to
# sim.log.
sim_start() {
    case $1 in
    /* | ./*) file=$1 ;;
    *) file=$KT_DATA/$1 ;;
    esac
    tavrik_sim -v "$file" >sim.log 2>&1 &
    SIM_PID=$!
    wait_until "$KT_WAIT_SECONDS" sim_up_or_ended "$2"
    if ! hidraw_count_is "$2"; then
        fail "tavrik_sim $1 did not bring up $2 hidraw nodes (have $(hidraw_count))"
        sed 's/^/  sim: /' sim.log
        return 1
    fi
}

# sim_stop: ends tavrik_sim as a user would and checks that it exits cleanly and removes its
# devices.
sim_stop() {
    [ -n "${SIM_PID:-}" ] || return 0
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID"
    status=$?
    SIM_PID=
    [ "$status" -eq 0 ] || fail "tavrik_sim exited with $status"
    wait_until "$KT_WAIT_SECONDS" hidraw_count_is 0 || fail "tavrik_sim left $(hidraw_count) hidraw nodes"
}

# sim_expect LINE: the simulator's log holds LINE (a fixed string) within the wait bound.
sim_expect() {
    wait_until "$KT_WAIT_SECONDS" log_has sim.log "$1" || {
        fail "tavrik_sim never logged: $1"
        sed 's/^/  sim: /' sim.log
    }
}

log_count_is() {
    [ "$(grep -cF -- "$3" "$1" 2>/dev/null)" = "$2" ]
}

# sim_expect_count N TEXT: the simulator's log holds exactly N lines with TEXT, within the
# wait bound.
sim_expect_count() {
    wait_until "$KT_WAIT_SECONDS" log_count_is sim.log "$1" "$2" ||
        fail "tavrik_sim logged $(grep -cF -- "$2" sim.log) lines with \"$2\", expected $1"
}

# run PROGRAM ARGS...: runs one program to its end with standard input empty; its standard
# output, standard error and exit status land in out, err and status. Carriage returns are
# shown as \r so that progress lines compare as text.
run() {
    timeout "$KT_TOOL_TIMEOUT" "$@" </dev/null >out.raw 2>err.raw
    echo $? >status
    sed "s/$CR/\\\\r/g" out.raw >out
    sed "s/$CR/\\\\r/g" err.raw >err
}

# start PROGRAM ARGS...: like run, in the background, with standard input from the fifo "in"
# held open by this shell, so that run can check other programs meanwhile; press_enter ends
# its wait for input, finish collects its outputs into out, err and status.
start() {
    rm -f in
    mkfifo in
    timeout "$KT_TOOL_TIMEOUT" "$@" <in >bg.out.raw 2>bg.err.raw &
    TOOL_PID=$!
    exec 3>in
}

press_enter() {
    echo >&3
}

finish() {
    exec 3>&-
    wait "$TOOL_PID"
    echo $? >status
    TOOL_PID=
    sed "s/$CR/\\\\r/g" bg.out.raw >out
    sed "s/$CR/\\\\r/g" bg.err.raw >err
}

# out_has TEXT: the background program's standard output holds TEXT within the wait bound.
out_has() {
    wait_until "$KT_WAIT_SECONDS" log_has bg.out.raw "$1" || fail "standard output never showed: $1"
}

compare() {
    if ! diff -u "$2" "$3" >diff.txt; then
        fail "$1 differs (--- expected, +++ actual)"
        cat diff.txt
    fi
}

# expect_status N: exit status as the shell sees it (a return of -1 reads as 255).
expect_status() {
    actual=$(cat status)
    [ "$actual" = "$1" ] || fail "exit status $actual, expected $1"
}

# expect_out / expect_err: the expected text comes on standard input (a here-document).
expect_out() {
    cat >expected.out
    compare "standard output" expected.out out
}

expect_err() {
    cat >expected.err
    compare "standard error" expected.err err
}

# expect_out_of FILE: like expect_out, for text the scenario picked out of the output.
expect_out_of() {
    cat >expected.out
    compare "selected output" expected.out "$1"
}

expect_no_err() {
    expect_err </dev/null
}

# scenario_cleanup: ends whatever a scenario left running.
scenario_cleanup() {
    if [ -n "${TOOL_PID:-}" ] && kill -0 "$TOOL_PID" 2>/dev/null; then
        fail "a program was still running at the end"
        kill -KILL "$TOOL_PID" 2>/dev/null
    fi
    exec 3>&- 2>/dev/null
    if [ -n "${SIM_PID:-}" ]; then
        kill -KILL "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
    fi
}

# run_scenario NAME FILE: runs one scenario in a fresh directory with no tavrik.ini and
# reports it on the console between markers.
run_scenario() {
    echo "@@kt begin $1"
    rm -f "$KT_CONFIG_DIR/tavrik.ini"
    mkdir -p "/tmp/kt/$1"
    (
        cd "/tmp/kt/$1" || exit 1
        KT_FAILED=0
        SIM_PID=
        TOOL_PID=
        . "$2"
        scenario_cleanup
        echo "$KT_FAILED" >result
    ) 2>&1 | sed 's/^/@@kt log /'
    if [ "$(cat "/tmp/kt/$1/result" 2>/dev/null)" = 0 ]; then
        echo "@@kt pass $1"
    else
        echo "@@kt fail $1"
    fi
}
