# tavrik_info -l lists the two modules that tavrik_sim presents, with every IO point, the
# relay marks, the PoE status words and the watchdog line; as root it records their indexes.
sim_start list.scn 2

run tavrik_info -l
expect_status 0
expect_no_err
expect_out <<'OUT'
------------------------------------------
Device   : 0
Index    : 0
Name     : Rack A
Serial   : KT-BASIC-01
Firmware : 2.1.0
Hardware : B

inputs [4]
  0 = 0
  1 = 1
  2 = 0
  3 = 0

outputs [4]
  0 = 0 (relay)
  1 = 1
  2 = 0
  3 = 0

buttons [1]
  0 = 0

psalarms [1]
  0 = 1

raidleds [1]
  0 = 0
------------------------------------------
Device   : 1
Index    : 1
Name     : Rack B
Serial   : KT-EXT-02
Firmware : 3.0.1
Hardware : C
watchdog : Thu Jan 01 00:00:01 1970


inputs [2]
  0 = 1
  1 = 0

outputs [2]
  0 = 0 (relay)
  1 = 0

watchdog [1]
  0 = 30

poe_enable [2]
  0 = 1
  1 = 0

poe_reset [2]
  0 = 0
  1 = 0

poe_status [2]
  0 = class1 enabled present powered
  1 = class3 present faulted overcurrent

poe_voltage [2]
  0 = 480
  1 = 0

poe_current [2]
  0 = 125
  1 = 0

poe_temperature [2]
  0 = 41
  1 = 39

poe_maxpower [2]
  0 = 30000
  1 = 15400
OUT

# The modules answered the full open sequence through the kernel.
sim_expect "KT-BASIC-01: information block read at 102, 45 bytes"
sim_expect "KT-EXT-02: state exchange at offset 0"

sim_stop
