#!/usr/bin/env python3
"""A real Prometheus server on loopback scraping the exporter's test variant every second.

Run by CTest with EXPORTER (the test variant) and ALERTS (the example alerting rules). It
starts Debian's prometheus with a temporary data directory, checks values through its query
API and an alert through its alerts API, and stops both processes. Every wait is bounded.
"""
import json
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

EXPORTER = os.environ["EXPORTER"]
ALERTS = os.environ["ALERTS"]
WAIT_SECONDS = 30

# A100 raises PSU alarm 0 a few seconds in; B200 leaves the bus later.
MODULES = """
[module]
serial = A100
location = 00140000.00000000.00000001.00000003.
config = 0 0 65 3 3
point = 0 1 1
at = 3000 set 3 0 1

[module]
serial = B200
location = 00140000.00000000.00000001.00000004.
type = TIO-POE
flags = 1
config = 8 9
point = 8 0 0x180
point = 9 0 4800
at = 10000 unplug
"""

CONFIG = """
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files:
  - tavrik-alerts.yml
scrape_configs:
  - job_name: tavrik
    static_configs:
      - targets: ['127.0.0.1:%d']
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for stream in (proc.stdout, proc.stderr):
        if stream:
            stream.close()
    return proc.returncode


class PrometheusTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="tavrik-prometheus-test.")
        self.procs = []
        self.addCleanup(shutil.rmtree, self.scratch)
        self.addCleanup(self.stop_all)

        scenario = os.path.join(self.scratch, "bus.scenario")
        with open(scenario, "w") as f:
            f.write(MODULES)
        exporter = subprocess.Popen(
            [EXPORTER, "--listen", "127.0.0.1:0", "--hold"],
            env=dict(os.environ, TAVRIK_VIRTUAL_SCENARIO=scenario),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.procs.append(exporter)
        ready, _, _ = select.select([exporter.stdout], [], [], WAIT_SECONDS)
        line = exporter.stdout.readline() if ready else ""
        found = re.search(r"http://127\.0\.0\.1:(\d+)/metrics", line)
        self.assertTrue(found, "exporter did not start: %r" % line)

        shutil.copy(ALERTS, os.path.join(self.scratch, "tavrik-alerts.yml"))
        config = os.path.join(self.scratch, "prometheus.yml")
        with open(config, "w") as f:
            f.write(CONFIG % int(found.group(1)))
        self.web = "http://127.0.0.1:%d" % free_port()
        self.log = open(os.path.join(self.scratch, "prometheus.log"), "w")
        self.addCleanup(self.log.close)
        prometheus = subprocess.Popen(
            ["prometheus", "--config.file=" + config,
             "--storage.tsdb.path=" + os.path.join(self.scratch, "data"),
             "--web.listen-address=" + self.web[len("http://"):],
             "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=self.log)
        self.procs.append(prometheus)
        self.wait_until(lambda: self.get("/-/ready") is not None, "Prometheus ready")

    def stop_all(self):
        for proc in reversed(self.procs):
            stop(proc)

    def get(self, path):
        try:
            with urllib.request.urlopen(self.web + path, timeout=5) as resp:
                return resp.read().decode()
        except OSError:
            return None

    def query(self, expr):
        """The value of the one series the expression gives, or None."""
        body = self.get("/api/v1/query?" + urllib.parse.urlencode({"query": expr}))
        if body is None:
            return None
        result = json.loads(body)["data"]["result"]
        return result[0]["value"][1] if len(result) == 1 else None

    def wait_until(self, condition, what):
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            if condition():
                return
            for proc in self.procs:
                self.assertIsNone(proc.poll(), "a process ended while waiting for " + what)
            time.sleep(0.2)
        self.fail("timed out waiting for " + what)

    def wait_for(self, expr, value):
        self.wait_until(lambda: self.query(expr) == value, "%s == %s" % (expr, value))

    def firing(self, name):
        body = self.get("/api/v1/alerts")
        if body is None:
            return []
        return [a for a in json.loads(body)["data"]["alerts"]
                if a["labels"]["alertname"] == name and a["state"] == "firing"]

    def test_values_change_unplug_and_alert(self):
        values = [
            ('tavrik_up{serial="A100"}', "1"),
            ('tavrik_up{serial="B200"}', "1"),
            ('tavrik_point_value{serial="A100",type="inputs",point="1"}', "1"),
            ('tavrik_point_value{serial="A100",type="outputs",point="0",relay="1"}', "0"),
            ('tavrik_point_value{serial="B200",type="poe_voltage",point="0"}', "4800"),
            ('tavrik_poe_flag{serial="B200",port="0",flag="overcurrent"}', "1"),
            ('tavrik_poe_flag{serial="B200",port="0",flag="powered"}', "0"),
        ]
        for expr, value in values:
            with self.subTest(expr=expr):
                self.wait_for(expr, value)

        # The PSU alarm the module raises shows after the next scrape, and fires its alert.
        self.wait_for('tavrik_point_value{serial="A100",type="psalarms",point="0"}', "1")
        self.wait_until(lambda: self.firing("TavrikPsuAlarm"), "TavrikPsuAlarm firing")
        alert = self.firing("TavrikPsuAlarm")[0]
        self.assertEqual(alert["labels"]["serial"], "A100")
        self.assertEqual(alert["labels"]["point"], "0")

        # The module that leaves the bus reads as down.
        self.wait_for('tavrik_up{serial="B200"}', "0")
        self.assertEqual(self.query('tavrik_up{serial="A100"}'), "1")


if __name__ == "__main__":
    # The modules' indexes, which the labels carry, are assigned from an empty tavrik.ini, not
    # from what the tests that ran before in this build left there.
    try:
        os.remove(os.path.join(os.environ["TAVRIK_TEST_CONFIG_DIR"], "tavrik.ini"))
    except FileNotFoundError:
        pass
    unittest.main(verbosity=2)
