#!/usr/bin/env python3
"""tavrik_exporter's test variant as Prometheus meets it: HTTP on 127.0.0.1 over virtual modules.

Run by CTest with EXPORTER (the test variant) and SCRATCH (an empty directory of its own).
Every wait is bounded and every process started is stopped.
"""
import http.client
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

EXPORTER = os.environ["EXPORTER"]
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "support"))
from test_service import Service  # noqa: E402  (the shared tavrikd on a private bus)

TAVRIKD = os.environ.get("TAVRIKD", "")
DBUS_DAEMON = os.environ.get("DBUS_DAEMON", "")
WAIT_SECONDS = 20

MODULES = """
[module]
serial = A100
location = 00140000.00000000.00000001.00000003.
info_name = Rack "1"
watchdog_time = 1700000000
config = 0 0 65 1 3 3
point = 0 1 1
point = 3 1 1

[module]
serial = P200
location = 00140000.00000000.00000001.00000004.
type = TIO-POE
flags = 1
config = 6 8 8 9
point = 8 0 0x69
point = 8 1 0x180
point = 9 0 4800

[module]
serial = C300
location = 00140000.00000000.00000001.00000005.
busy = 1
"""

# A module whose PSU alarm rises, then which is unplugged, for --hold.
CHANGING = """
[module]
serial = H100
location = 00140000.00000000.00000001.00000003.
config = 0 3
at = 200 set 3 0 1
at = 400 error -9
at = 1500 unplug
"""


# The same module, its events late enough to come after the first scrape, held by tavrikd.
SERVED = """
[module]
serial = H100
location = 00140000.00000000.00000001.00000003.
config = 0 3
at = 2500 set 3 0 1
at = 3000 error -9
"""

def sample(text, name, labels):
    """The value of the one sample with exactly these labels, or None."""
    inner = ",".join('%s="%s"' % kv for kv in labels)
    line = re.search(r"^%s\{%s\} (\S+)$" % (re.escape(name), re.escape(inner)), text, re.M)
    return line.group(1) if line else None


class Exporter:
    """The test variant serving on an ephemeral loopback port."""

    def __init__(self, scratch, modules, *args, env=None):
        self.scratch = scratch
        scenario = os.path.join(scratch, "bus.scenario")
        with open(scenario, "w") as f:
            f.write(modules)
        env = dict(os.environ, TAVRIK_VIRTUAL_SCENARIO=scenario, **(env or {}))
        self.proc = subprocess.Popen(
            [EXPORTER, "--listen", "127.0.0.1:0", *args], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], WAIT_SECONDS)
        line = self.proc.stdout.readline() if ready else ""
        found = re.search(r"http://127\.0\.0\.1:(\d+)/metrics", line)
        if not found:
            self.stop()
            raise AssertionError("exporter did not start: %r" % line)
        self.port = int(found.group(1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode

    def get(self, method, path, headers=None, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_SECONDS)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders()), resp.read().decode()
        finally:
            conn.close()

    def raw(self, data):
        """Sends bytes as they are; returns the status code of the answer, or None."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_SECONDS) as s:
            try:
                s.sendall(data)
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the server may close on a request it refused before reading it all
            reply = b""
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
            except OSError:
                pass
        status = re.match(rb"HTTP/1\.1 (\d{3}) ", reply)
        return int(status.group(1)) if status else None


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tavrik-exporter-test.")
        cls.exporter = Exporter(cls.scratch, MODULES)

    @classmethod
    def tearDownClass(cls):
        code = cls.exporter.stop()
        shutil.rmtree(cls.scratch)
        assert code == 0, "exporter ended with %s on SIGTERM" % code

    def metrics(self):
        status, headers, body = self.exporter.get("GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        return body

    def test_values(self):
        text = self.metrics()
        a = [("serial", "A100"), ("index", "0")]
        p = [("serial", "P200"), ("index", "1")]
        cases = [
            ("tavrik_up", a, "1"),
            ("tavrik_up", p, "1"),
            ("tavrik_up", [("serial", "C300"), ("index", "2")], "0"),
            ("tavrik_module_info", a + [("name", 'Rack \\"1\\"'), ("module_type", "TIO-8"),
                                        ("firmware", "2.1.0"), ("hardware", "B")], "1"),
            ("tavrik_point_value", a + [("type", "inputs"), ("point", "1")], "1"),
            ("tavrik_point_value", a + [("type", "outputs"), ("point", "0"), ("relay", "1")], "0"),
            ("tavrik_point_value", a + [("type", "outputs"), ("point", "1"), ("relay", "0")], "0"),
            ("tavrik_point_value", a + [("type", "psalarms"), ("point", "1")], "1"),
            ("tavrik_point_value", p + [("type", "poe_voltage"), ("point", "0")], "4800"),
            ("tavrik_poe_class", p + [("port", "0")], "1"),
            ("tavrik_poe_flag", p + [("port", "0"), ("flag", "powered")], "1"),
            ("tavrik_poe_flag", p + [("port", "1"), ("flag", "faulted")], "1"),
            ("tavrik_poe_flag", p + [("port", "1"), ("flag", "overcurrent")], "1"),
            ("tavrik_poe_flag", p + [("port", "1"), ("flag", "powered")], "0"),
            ("tavrik_watchdog_time_seconds", a, "1700000000"),
        ]
        for name, labels, value in cases:
            with self.subTest(name=name, labels=labels):
                self.assertEqual(sample(text, name, labels), value)
        self.assertIsNone(sample(text, "tavrik_watchdog_time_seconds", p))
        self.assertNotIn("tavrik_point_changes_total", text)

    def test_failed_opens_counted_per_scrape(self):
        def failures():
            return int(sample(self.metrics(), "tavrik_exporter_open_failures_total",
                              [("code", "-1"), ("message", "Device is busy")]))
        first = failures()
        self.assertEqual(failures(), first + 1)

    def test_promtool_accepts_the_output(self):
        promtool = shutil.which("promtool")
        self.assertIsNotNone(promtool, "promtool is installed by the test's set-up")
        check = subprocess.run([promtool, "check", "metrics"], input=self.metrics(),
                               capture_output=True, text=True, timeout=WAIT_SECONDS)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_index_page_links_to_metrics(self):
        status, headers, body = self.exporter.get("GET", "/")
        self.assertEqual(status, 200)
        self.assertIn('href="/metrics"', body)

    def test_other_requests(self):
        cases = [
            ("GET", "/nothing", 404),
            ("GET", "/metrics/extra", 404),
            ("POST", "/metrics", 405),
            ("PUT", "/", 405),
            ("DELETE", "/metrics", 405),
        ]
        for method, path, expected in cases:
            with self.subTest(method=method, path=path):
                status, headers, _ = self.exporter.get(method, path)
                self.assertEqual(status, expected)
                if expected == 405:
                    self.assertEqual(headers["Allow"], "GET, HEAD")

    def test_head_answers_with_the_headers_of_get(self):
        for path in ("/", "/metrics", "/nothing"):
            with self.subTest(path=path):
                get_status, get_headers, body = self.exporter.get("GET", path)
                status, headers, head_body = self.exporter.get("HEAD", path)
                self.assertEqual(status, get_status)
                self.assertEqual(head_body, "")
                self.assertEqual(int(get_headers["Content-Length"]), len(body.encode()))
                length = int(headers.pop("Content-Length"))
                get_length = int(get_headers.pop("Content-Length"))
                if path == "/metrics":
                    # Two scrapes: a counter may have gained a digit in between.
                    self.assertLessEqual(abs(length - get_length), 2)
                else:
                    self.assertEqual(length, get_length)
                self.assertEqual(headers, get_headers)

    def test_keep_alive_serves_several_requests(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.exporter.port, timeout=WAIT_SECONDS)
        try:
            for path in ("/metrics", "/", "/metrics"):
                conn.request("GET", path)
                resp = conn.getresponse()
                resp.read()
                self.assertEqual(resp.status, 200)
        finally:
            conn.close()

    def test_malformed_and_oversized_requests_refused(self):
        big = b"x" * (64 * 1024)
        cases = [
            ("garbage", b"GARBAGE\r\n\r\n", 400),
            ("binary", bytes(range(256)) * 4, 400),
            ("bad version", b"GET /metrics HTTP/9.9\r\n\r\n", 400),
            ("header too large", b"GET /metrics HTTP/1.1\r\nX-Big: " + big + b"\r\n\r\n", 431),
            ("long target", b"GET /" + big + b" HTTP/1.1\r\n\r\n", 431),
            ("body too large",
             b"GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + big, 413),
            ("bad length", b"GET /metrics HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400),
        ]
        for name, data, expected in cases:
            with self.subTest(name=name):
                self.assertEqual(self.exporter.raw(data), expected)
        # None of it did harm.
        self.assertEqual(sample(self.metrics(), "tavrik_up", [("serial", "A100"), ("index", "0")]),
                         "1")

    def test_silent_and_half_open_connections_do_no_harm(self):
        sockets = [socket.create_connection(("127.0.0.1", self.exporter.port),
                                            timeout=WAIT_SECONDS) for _ in range(4)]
        try:
            sockets[0].sendall(b"GET /metrics HTTP/1.1\r\nHost: x")  # never finished
            self.assertIn("tavrik_up", self.metrics())
        finally:
            for s in sockets:
                s.close()


class HoldTest(unittest.TestCase):
    def test_events_counted_and_unplug_turns_up_to_zero(self):
        scratch = tempfile.mkdtemp(prefix="tavrik-exporter-test.")
        exporter = Exporter(scratch, CHANGING, "--hold")
        h = [("serial", "H100"), ("index", "0")]
        try:
            def wait_for(name, labels, value):
                deadline = time.monotonic() + WAIT_SECONDS
                while time.monotonic() < deadline:
                    text = exporter.get("GET", "/metrics")[2]
                    if sample(text, name, labels) == value:
                        return text
                    time.sleep(0.1)
                self.fail("%s%s never became %s" % (name, labels, value))

            text = wait_for("tavrik_point_changes_total",
                            h + [("type", "psalarms"), ("point", "0")], "1")
            self.assertEqual(sample(text, "tavrik_up", h), "1")
            wait_for("tavrik_error_events_total",
                     h + [("code", "-9"), ("message", "Timeout on i2c bus")], "1")
            text = wait_for("tavrik_up", h, "0")
            # The counters stay, so that an alarm seen before the unplug is not lost.
            self.assertEqual(sample(text, "tavrik_point_changes_total",
                                    h + [("type", "psalarms"), ("point", "0")]), "1")
        finally:
            code = exporter.stop()
            shutil.rmtree(scratch)
        self.assertEqual(code, 0)


@unittest.skipUnless(TAVRIKD and DBUS_DAEMON, "no tavrikd_virtual or dbus-daemon")
class ServiceTest(unittest.TestCase):
    def test_served_module_read_without_opening_and_its_events_counted_without_hold(self):
        scratch = tempfile.mkdtemp(prefix="tavrik-exporter-test.")
        service = Service(scratch, SERVED, TAVRIKD, DBUS_DAEMON)
        exporter = None
        h = [("serial", "H100"), ("index", "0")]
        try:
            exporter = Exporter(scratch, SERVED, env=service.client_env)
            # tavrikd holds the module: an open of its own would find it busy.
            text = exporter.get("GET", "/metrics")[2]
            self.assertEqual(sample(text, "tavrik_up", h), "1", text)
            self.assertNotIn("tavrik_exporter_open_failures_total{", text)
            deadline = time.monotonic() + WAIT_SECONDS
            while time.monotonic() < deadline:
                text = exporter.get("GET", "/metrics")[2]
                if sample(text, "tavrik_error_events_total",
                          h + [("code", "-9"), ("message", "Timeout on i2c bus")]) == "1":
                    break
                time.sleep(0.1)
            self.assertEqual(sample(text, "tavrik_point_changes_total",
                                    h + [("type", "psalarms"), ("point", "0")]), "1", text)
            self.assertEqual(sample(text, "tavrik_error_events_total",
                                    h + [("code", "-9"), ("message", "Timeout on i2c bus")]),
                             "1", text)
            self.assertEqual(sample(text, "tavrik_point_value", h + [("type", "psalarms"),
                                                                ("point", "0")]), "1", text)
        finally:
            code = exporter.stop() if exporter else 0
            service.stop()
            shutil.rmtree(scratch)
        self.assertEqual(code, 0)


class TextfileTest(unittest.TestCase):
    def test_written_once_and_atomically(self):
        scratch = tempfile.mkdtemp(prefix="tavrik-exporter-test.")
        try:
            scenario = os.path.join(scratch, "bus.scenario")
            with open(scenario, "w") as f:
                f.write(MODULES)
            env = dict(os.environ, TAVRIK_VIRTUAL_SCENARIO=scenario)
            out = os.path.join(scratch, "tavrik.prom")
            with open(out, "w") as f:
                f.write("old\n")
            done = subprocess.run([EXPORTER, "--textfile", out], env=env, capture_output=True,
                                  text=True, timeout=WAIT_SECONDS)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(sorted(os.listdir(scratch)), ["bus.scenario", "tavrik.prom"])
            with open(out) as f:
                text = f.read()
            self.assertEqual(sample(text, "tavrik_up", [("serial", "A100"), ("index", "0")]), "1")

            missing = os.path.join(scratch, "no-such-dir", "tavrik.prom")
            failed = subprocess.run([EXPORTER, "--textfile", missing], env=env,
                                    capture_output=True, text=True, timeout=WAIT_SECONDS)
            self.assertEqual(failed.returncode, 1)
            self.assertIn("cannot write", failed.stderr)
        finally:
            shutil.rmtree(scratch)


class CommandLineTest(unittest.TestCase):
    def test_refusals(self):
        cases = [
            (["--listen", "nonsense"], "not ADDR:PORT"),
            (["--listen", "999.1.1.1:80"], "not an IP address"),
            (["--frobnicate"], "unknown argument"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                done = subprocess.run([EXPORTER, *args], capture_output=True, text=True,
                                      timeout=WAIT_SECONDS, env=dict(os.environ,
                                      TAVRIK_VIRTUAL_SCENARIO="/nonexistent"))
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)

    def test_address_in_use(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen()
            port = s.getsockname()[1]
            done = subprocess.run([EXPORTER, "--listen", "127.0.0.1:%d" % port],
                                  capture_output=True, text=True, timeout=WAIT_SECONDS,
                                  env=dict(os.environ, TAVRIK_VIRTUAL_SCENARIO="/nonexistent"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("in use", done.stderr)


if __name__ == "__main__":
    # The modules' indexes, which the labels carry, are assigned from an empty tavrik.ini, not
    # from what the tests that ran before in this build left there.
    try:
        os.remove(os.path.join(os.environ["TAVRIK_TEST_CONFIG_DIR"], "tavrik.ini"))
    except FileNotFoundError:
        pass
    unittest.main(verbosity=2)
