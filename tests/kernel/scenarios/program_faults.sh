# tavrik_program against a module that is removed (and plugged in again) or falls silent at
# each step of the upgrade. Every run ends with its step's failure line and status, never with
# success; the module is then found in its bootloader, and the next run programs it whole,
# with the flash CRC checked on the module's side.
cp "$KT_DATA/firmware.hex" .

# module_file [FAULT]: the module of every case, in cell.scn, with a fresh log.
module_file() {
    cat >cell.scn <<SCN
log = cell.log
[module]
serial = KT-FLT-01
config = 0 0 65 1
restart_ms = 300
${1:-}
SCN
    rm -f cell.log
}

# cell NAME FAULT LINE STATUS MODE: one upgrade with FAULT armed in the module, which must
# end with LINE and STATUS and leave the module in MODE (boot or app); then the recovery.
cell() {
    name=$1
    module_file "$2"
    sim_start ./cell.scn 1 || return
    run tavrik_program -p firmware.hex KT-FLT-01
    [ "$(cat status)" = "$4" ] || fail "$name: status $(cat status), expected $4"
    grep -qxF "$3" out || fail "$name: no line '$3' in: $(tr '\n' '|' <out)"
    ! grep -q "Device programming succesful" out || fail "$name: reported success"
    wait_until "$KT_WAIT_SECONDS" hidraw_count_is 1 || fail "$name: the module did not come back"
    run tavrik_program -l
    grep -qx KT-FLT-01 out || fail "$name: tavrik_program -l does not list the module"
    if [ "$5" = boot ]; then
        run tavrik_info -l
        grep -qx "No Tavrik devices found or all devices busy" out ||
            fail "$name: the module is not in its bootloader: $(tr '\n' '|' <out)"
    fi
    run tavrik_program -p firmware.hex KT-FLT-01
    [ "$(cat status)" = 0 ] && grep -qx "Device programming succesful" out ||
        fail "$name: the next run did not program the module: $(tr '\n' '|' <out)"
    sim_stop
    grep -qx "flash KT-FLT-01 9d006000 00000c00 0aac" cell.log ||
        fail "$name: the module's flash does not hold the image: $(grep '^flash' cell.log)"
    grep -qx "mode KT-FLT-01 app" cell.log || fail "$name: the module did not end in its application"
}

# Removed, and plugged in again half a second later (in its bootloader, as after any power cut);
# during the search it stays away until the search is over.
cell removed-search "fault = boot_vanish command=1 back_ms=16000" \
    "Unable to open device KT-FLT-01 for programming." 255 boot
cell removed-erase "fault = boot_vanish command=2 back_ms=500" "Failure while erasing device." 249 boot
cell removed-first-frame "fault = boot_vanish command=3 back_ms=500" \
    "Failure while programming device." 249 boot
cell removed-middle-frame "fault = boot_vanish command=3 after=2 back_ms=500" \
    "Failure while programming device." 249 boot
cell removed-last-frame "fault = boot_vanish command=3 after=5 back_ms=500" \
    "Failure while programming device." 249 boot
cell removed-readcrc "fault = boot_vanish command=4 back_ms=500" \
    "Device verification failed after programming." 249 boot
cell removed-start "fault = boot_vanish command=5 back_ms=500" \
    "Failed to start application code after programming." 249 boot

# Silent: one request goes unanswered. A module that ignores StartApplication's answer still
# starts its application. During the search, every BootInfo of it goes unanswered (at most 31:
# one per search attempt and one for the final open), each after its 2 s wait.
cell silent-search "fault = boot_no_answer command=1 count=31" \
    "Unable to open device KT-FLT-01 for programming." 249 boot
cell silent-erase "fault = boot_no_answer command=2" "Failure while erasing device." 249 boot
cell silent-first-frame "fault = boot_no_answer command=3" "Failure while programming device." 249 boot
cell silent-middle-frame "fault = boot_no_answer command=3 after=2" \
    "Failure while programming device." 249 boot
cell silent-last-frame "fault = boot_no_answer command=3 after=5" \
    "Failure while programming device." 249 boot
cell silent-readcrc "fault = boot_no_answer command=4" \
    "Device verification failed after programming." 249 boot
cell silent-start "fault = boot_no_answer command=5" \
    "Failed to start application code after programming." 249 app

# Two upgrades of one module at once: the second cannot open the module while the first holds
# it, and its search goes on until the first is over; the module sees one whole upgrade after
# the other, never requests of the two interleaved.
module_file
sim_start ./cell.scn 1
start tavrik_program -p firmware.hex KT-FLT-01
sim_expect "KT-FLT-01: Erase"
run tavrik_program -p firmware.hex KT-FLT-01
expect_status 0
grep -qx "Device programming succesful" out || fail "the second run failed: $(tr '\n' '|' <out)"
finish
expect_status 0
grep -qx "Device programming succesful" out || fail "the first run failed: $(tr '\n' '|' <out)"
one="Erase Program Program Program Program Program Program ReadCrc StartApplication"
steps=$(sed -n 's/^KT-FLT-01: \(Erase\|Program\|ReadCrc\|StartApplication\)\b.*/\1/p' sim.log |
    tr '\n' ' ' | sed 's/ $//')
[ "$steps" = "$one $one" ] || fail "the module saw: $steps"
sim_stop
grep -qx "flash KT-FLT-01 9d006000 00000c00 0aac" cell.log ||
    fail "the module's flash does not hold the image: $(grep '^flash' cell.log)"
