# tavrik_info -i reads points and -o sets outputs; the module's side confirms each written
# value, and a later read takes the value back from the module.
sim_start list.scn 2

run tavrik_info -i 0 1
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT

run tavrik_info -i 1 0 8
expect_status 0
expect_no_err
expect_out <<'OUT'
105
OUT

run tavrik_info -o 0 2 1
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[0] outputs[2] to 1
OUT
sim_expect "KT-BASIC-01: outputs[2] = 1"

run tavrik_info -i 0 2 1
expect_status 0
expect_out <<'OUT'
1
OUT

run tavrik_info -o 1 0 1500 12
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[1] poe_maxpower[0] to 1500
OUT
sim_expect "KT-EXT-02: poe_maxpower[0] = 1500"

run tavrik_info -i 0 99
expect_status 255
expect_out </dev/null
expect_err <<'ERR'
Error getting io state: IO point number outside range
ERR

run tavrik_info -o 0 3 1 0
expect_status 255
expect_out </dev/null
expect_err <<'ERR'
inputs[3] is not an output
ERR

run tavrik_info -o 5 0 1
expect_status 255
expect_out </dev/null
expect_err <<'ERR'
Device 5 not available
ERR

sim_stop
