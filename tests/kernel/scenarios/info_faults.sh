# tavrik_info against modules that leave during a command, answer every request with an error,
# or hold a damaged information block: each failure is reported, the other modules are still
# served, and no command reports success for what did not happen.
cat >faults.scn <<'SCN'
log = faults.log
# Leaves in the middle of the listing's own open (the device list has opened it once already).
[module]
serial = KT-GONE-01
location = 1-1
config = 0 0 65 1
fault = vanish command=3 after=3

# Answers every request with "Specified command invalid".
[module]
serial = KT-ERR-02
location = 1-2
config = 0 0 65 1
fault = status status=-8 count=100000

# Its information block fails its CRC.
[module]
serial = KT-DMG-03
location = 1-3
config = 0 0 65 1
info_damaged = 1

[module]
serial = KT-OK-04
location = 1-4
config = 0 0 65 1
SCN
sim_start ./faults.scn 4

# The erring and the damaged module cannot be opened, so the device list leaves them out.
run tavrik_info -l
expect_status 0
expect_err <<'ERR'
Error opening device KT-GONE-01 : Communication timeout
ERR
grep '^\(------\|Device\|Serial\)' out >blocks
expect_out_of blocks <<'OUT'
------------------------------------------
------------------------------------------
Device   : 1
Serial   : KT-OK-04
OUT
sim_stop

cat >gone.scn <<'SCN'
[module]
serial = KT-GONE-05
config = 0 0 65 1
fault = vanish command=3 after=3

[module]
serial = KT-GONE-06
config = 0 0 65 1
fault = vanish command=2 after=5
SCN
sim_start ./gone.scn 2
# Removed while -i opens it.
run tavrik_info -i 0 0
expect_status 255
expect_out </dev/null
expect_err <<'ERR'
Error opening device KT-GONE-05 : Communication timeout
ERR
# Removed before the exchange that would have carried the value (five state exchanges come
# before it: one for each device list, the open, the API thread's first and its first poll).
# The device list now holds only the second module.
run tavrik_info -o 0 1 1
expect_status 255
expect_out <<'OUT'
Setting device[0] outputs[1] to 1
OUT
expect_err <<'ERR'
Error setting output: Communication timeout
ERR
sim_stop
