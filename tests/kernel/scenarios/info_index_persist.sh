# The indexes that the first run records in tavrik.ini hold in the next run, whatever order
# the modules are found in; a new module of another type takes the next free index.
ini=$KT_CONFIG_DIR/tavrik.ini

sim_start persist-first.scn 2
run tavrik_info -l
expect_status 0
expect_no_err
grep '^\(Device\|Index\|Serial\)' out >ids
expect_out_of ids <<'OUT'
Device   : 0
Index    : 0
Serial   : KT-P-01
Device   : 1
Index    : 1
Serial   : KT-P-02
OUT
sim_stop
section_serial() {
    awk -v section="[$1]" '$0 == section { inside = 1; next } /^\[/ { inside = 0 }
        inside && sub(/^serial *= */, "") { print }' "$ini"
}
[ "$(section_serial device0)" = KT-P-01 ] || fail "device0 of $ini is not KT-P-01"
[ "$(section_serial device1)" = KT-P-02 ] || fail "device1 of $ini is not KT-P-02"

sim_start persist-again.scn 3
run tavrik_info -l
expect_status 0
expect_no_err
grep '^\(Device\|Index\|Serial\)' out >ids
expect_out_of ids <<'OUT'
Device   : 0
Index    : 0
Serial   : KT-P-01
Device   : 1
Index    : 1
Serial   : KT-P-02
Device   : 2
Index    : 2
Serial   : KT-Q-03
OUT

# Device numbers follow the indexes too.
run tavrik_info -o 2 0 1
expect_status 0
expect_out <<'OUT'
Setting device[2] outputs[0] to 1
OUT
sim_expect "KT-Q-03: outputs[0] = 1"
sim_stop
