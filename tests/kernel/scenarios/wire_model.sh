# tavrik_sim's wire-time model through the kernel: the tools read, set and upgrade modules
# whose reports take their time to cross, as on a real full-speed USB link.
cp "$KT_DATA/firmware.hex" .
sim_start wire.scn 2

run tavrik_info -i 0 1
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT

run tavrik_info -o 0 1 1
expect_status 0
expect_no_err
sim_expect "KT-WIRE-01: outputs[1] = 1"

run tavrik_program -p firmware.hex KT-WIRE-02
expect_status 0
expect_no_err
grep -qx "Device programming succesful" out || fail "the upgrade failed: $(tr '\n' '|' <out)"
sim_expect "KT-WIRE-02: ReadCrc from 0x9d006000, 3072 bytes: CRC 0x0aac"

sim_stop
