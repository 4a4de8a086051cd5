# The real tavrik_exporter against tavrik_sim modules: /metrics fetched over loopback with
# busybox wget, and tavrik_info -o working between two scrapes, since a scrape holds the
# modules only while it reads them.
busybox ip link set lo up 2>/dev/null || busybox ifconfig lo 127.0.0.1 up
sim_start list.scn 2

start tavrik_exporter --listen 127.0.0.1:9786
out_has "listening on http://127.0.0.1:9786/metrics"

# scrape FILE: one GET of /metrics, bounded.
scrape() {
    timeout 30 busybox wget -q -O "$1" http://127.0.0.1:9786/metrics || fail "scrape $1 failed"
}
basic='serial="KT-BASIC-01",index="0"'
ext='serial="KT-EXT-02",index="1"'
output2="tavrik_point_value{$basic,type=\"outputs\",point=\"2\",relay=\"0\"}"

scrape first.prom
grep -F -e "tavrik_up{" -e "tavrik_poe_flag{$ext,port=\"1\",flag=\"overcurrent\"}" \
    -e "tavrik_point_value{$ext,type=\"poe_voltage\",point=\"0\"}" -e "$output2" \
    -e "tavrik_point_value{$basic,type=\"outputs\",point=\"0\"" first.prom >picked
expect_out_of picked <<OUT
tavrik_up{$basic} 1
tavrik_up{$ext} 1
tavrik_point_value{$basic,type="outputs",point="0",relay="1"} 0
$output2 0
tavrik_point_value{$ext,type="poe_voltage",point="0"} 480
tavrik_poe_flag{$ext,port="1",flag="overcurrent"} 1
OUT

run tavrik_info -o 0 2 1
expect_status 0
expect_no_err
expect_out <<'OUT'
Setting device[0] outputs[2] to 1
OUT
sim_expect "KT-BASIC-01: outputs[2] = 1"

scrape second.prom
grep -F -e "tavrik_up{" -e "$output2" second.prom >picked
expect_out_of picked <<OUT
tavrik_up{$basic} 1
tavrik_up{$ext} 1
$output2 1
OUT

kill -TERM "$TOOL_PID"
finish
expect_status 0
expect_no_err

sim_stop
