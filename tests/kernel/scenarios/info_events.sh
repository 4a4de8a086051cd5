# tavrik_info -e prints an input change and an error event, and reports the module's removal
# through the kernel as a communication timeout followed by the end of its API thread.
sim_start events.scn 1

start tavrik_info -e 0
out_has "Error Event: API thread has stopped running"
sim_expect "KT-EVT-01: unplugged"
hidraw_count_is 0 || fail "the unplugged module's node is still there"
press_enter
finish
expect_status 0
expect_no_err
# The API thread reports every input once as it starts; that report normally lands before the
# listener installs its callback, but a slow guest may show it. Input 3 never returns to 0
# here, so these lines can only be that report.
grep -v -x 'IO Event: inputs\[[0-3]\] 0' out >events
expect_out_of events <<'OUT'
Listening for events...  Press enter to exit
IO Event: inputs[3] 1
Error Event: Timeout on i2c bus
Error Event: Communication timeout
Error Event: API thread has stopped running
OUT

sim_stop
