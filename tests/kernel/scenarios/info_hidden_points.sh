# Points that limits in tavrik.ini hide stay as the module holds them: the listing, a read,
# a write of a visible output and listening write none of them (tavrik_sim logs every point
# the host changes).
cat >"$KT_CONFIG_DIR/tavrik.ini" <<'INI'
[device0]
serial=KT-HID-01
type=TIO-POE
outputs=2
raidleds=1
poe_enable=1
watchdog=0
INI
sim_start hidden.scn 1

run tavrik_info -l
expect_status 0
expect_no_err
grep -A2 '^outputs' out >outputs
expect_out_of outputs <<'OUT'
outputs [2]
  0 = 0
  1 = 0
OUT

run tavrik_info -i 0 0
expect_status 0
expect_no_err

run tavrik_info -o 0 1 1
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[0] outputs[1] to 1
OUT
sim_expect "KT-HID-01: outputs[1] = 1"

run tavrik_info -e 0
expect_status 0
expect_no_err

sim_stop
if grep -E 'KT-HID-01: (outputs\[[234]\]|raidleds\[[12]\]|poe_enable\[[12]\]|watchdog\[[01]\])' \
    sim.log >hidden-writes; then
    fail "the host wrote hidden points:"
    sed 's/^/  /' hidden-writes
fi
