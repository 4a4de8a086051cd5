# tavrik_program -p upgrades a module: it restarts into its bootloader, comes back under the
# bootloader product ID, is erased, programmed in six frames and verified by CRC, and
# returns to its application, where tavrik_info finds it again.
cp "$KT_DATA/upgrade.scn" "$KT_DATA/firmware.hex" .
sim_start ./upgrade.scn 1

run tavrik_program -p firmware.hex KT-FW-01
expect_status 0
expect_no_err
# The search prints one dot per attempt that did not find the module yet.
sed -i 's/^Searching for device\.\{0,30\}$/Searching for device/' out
expect_out <<'OUT'
Searching for device
Hardware type 5
Device serial number KT-FW-01 opened
Erasing device...
Device erased
Programming device...
\rprogress 18%\rprogress 37%\rprogress 56%\rprogress 74%\rprogress 93%\rprogress 100%
Verifying flash memory...
Flash verification passed
Starting device application
Device programming succesful
OUT

sim_expect "KT-FW-01: restart into the bootloader: no reply"
sim_expect "KT-FW-01: presented as 04d8:f65d (bootloader)"
sim_expect "KT-FW-01: ReadCrc from 0x9d006000, 3072 bytes: CRC 0x0aac"
sim_expect "KT-FW-01: StartApplication: done"
sim_expect_count 6 "KT-FW-01: Program, "
sim_expect_count 2 "KT-FW-01: presented as 04d8:f713 (application)"

run tavrik_program -l
expect_status 0
expect_out <<'OUT'
KT-FW-01
OUT

sim_stop
grep -qx "flash KT-FW-01 9d006000 00000c00 0aac" upgrade.log ||
    fail "the module's flash does not hold the image: $(grep '^flash' upgrade.log)"
grep -qx "mode KT-FW-01 app" upgrade.log || fail "the module did not end in its application"
