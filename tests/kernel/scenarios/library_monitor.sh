# The library's C++ example, a user's daemon over libtavrik.so: it runs before the module is
# there, sees tavrik_sim's module arrive through the kernel, prints its input changes, sees it
# leave, and ends cleanly on SIGINT.
start tavrik-monitor
sim_start monitor.scn 1
out_has "KT-LIB-01 arrived (application)"
out_has "KT-LIB-01 inputs[2] = 1"
# The change back to 0, not the first report of the input, which reads "= 0 (initial)".
wait_until "$KT_WAIT_SECONDS" grep -q 'KT-LIB-01 inputs\[2\] = 0$' bg.out.raw ||
    fail "standard output never showed the change of inputs[2] back to 0"
sim_stop
out_has "KT-LIB-01 left (application)"
kill -INT "$(pidof tavrik-monitor)"
finish
expect_status 0
expect_no_err
# Each line starts with a date and a time; the first report of each input is marked, and
# the module's end may show as an error before the monitor tells that it left.
sed 's/^[0-9-]* [0-9:]* //' out | grep -v -e ' (initial)$' -e ' error: ' >changes
expect_out_of changes <<'OUT'
KT-LIB-01 arrived (application)
KT-LIB-01 inputs[2] = 1
KT-LIB-01 inputs[2] = 0
KT-LIB-01 left (application)
OUT
