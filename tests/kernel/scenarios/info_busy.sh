# While one tavrik_info listens on a module, a second one finds it busy: hidraw itself lets
# both open the node, and the HID layer's lock on it tells them apart.
sim_start busy.scn 1

start tavrik_info -e 0
out_has "Listening for events...  Press enter to exit"

run tavrik_info -i 0 0
expect_status 255
expect_out </dev/null
expect_err <<'ERR'
Error opening device KT-BUSY-01 : Device is busy
ERR

run tavrik_info -l
expect_status 0
expect_out <<'OUT'
------------------------------------------
OUT
expect_err <<'ERR'
Error opening device KT-BUSY-01 : Device is busy
ERR

press_enter
finish
expect_status 0
expect_no_err
expect_out <<'OUT'
Listening for events...  Press enter to exit
Error Event: API thread has stopped running
OUT

# Free again once the listener has gone.
run tavrik_info -i 0 0
expect_status 0
expect_no_err
expect_out <<'OUT'
1
OUT

sim_stop
