# The library's C++ example, a user's program over libtavrik.so, prints the input changes of a
# module that tavrik_sim presents through the kernel, and ends cleanly on SIGINT.
sim_start monitor.scn 1

start tavrik-monitor
out_has "inputs[2] = 1"
out_has "inputs[2] = 0"
kill -INT "$(pidof tavrik-monitor)"
finish
expect_status 0
expect_no_err
# Each line starts with a date and a time; the report of every input at the start comes first.
sed 's/^[0-9-]* [0-9:]* //' out | grep -v -x 'inputs\[[0-3]\] = 0' >changes
expect_out_of changes <<'OUT'
inputs[2] = 1
OUT

sim_stop
