# tavrik_program -l lists modules in both modes, application IDs first; tavrik_info -l shows
# only the one running its application.
sim_start modes.scn 2

run tavrik_program -l
expect_status 0
expect_no_err
expect_out <<'OUT'
KT-APP-01
KT-BOOT-02
OUT

run tavrik_info -l
expect_status 0
expect_no_err
expect_out <<'OUT'
------------------------------------------
Device   : 0
Index    : 0
Name     : Running
Serial   : KT-APP-01
Firmware : 2.1.0
Hardware : B

inputs [1]
  0 = 0

outputs [1]
  0 = 0
OUT

sim_stop
