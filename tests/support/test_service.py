"""tavrikd's test variant holding a scenario's virtual modules on a private dbus-daemon, for the
Python tests that run through the service. Every wait is bounded; stop() ends what it started.
"""
import os
import select
import subprocess
import time

WAIT_SECONDS = 20

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>tavrik-test</type>
  <listen>%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""


class Service:
    """tavrikd_virtual holding the scenario's modules on a private dbus-daemon."""

    def __init__(self, scratch, modules, tavrikd, dbus_daemon):
        self.procs = []
        socket_path = os.path.join(scratch, "bus")
        self.address = "unix:path=" + socket_path
        config = os.path.join(scratch, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG % self.address)
        scenario = os.path.join(scratch, "bus.scenario")
        with open(scenario, "w") as f:
            f.write(modules)
        holds = os.path.join(scratch, "holds")
        os.mkdir(holds)
        self.client_env = {"TAVRIK_TEST_BUS_ADDRESS": self.address,
                           "TAVRIK_VIRTUAL_HOLD_DIR": holds}
        bus = subprocess.Popen([dbus_daemon, "--config-file=" + config, "--nofork",
                                "--print-address"], stdout=subprocess.PIPE, text=True)
        self.procs.append(bus)
        ready, _, _ = select.select([bus.stdout], [], [], WAIT_SECONDS)
        if not ready or "unix:path=" not in bus.stdout.readline():
            self.stop()
            raise RuntimeError("dbus-daemon did not start")
        env = dict(os.environ, TAVRIK_VIRTUAL_SCENARIO=scenario, TAVRIK_VIRTUAL_HOLD_DIR=holds)
        self.procs.append(subprocess.Popen([tavrikd, "--bus", self.address], env=env,
                                           stderr=subprocess.DEVNULL))
        # Rescan returns once the openings of the scan are done; it fails until the name is
        # owned.
        deadline = time.monotonic() + WAIT_SECONDS
        while subprocess.run(["dbus-send", "--bus=" + self.address, "--print-reply",
                              "--reply-timeout=5000", "--dest=io.tavrik1", "/io/tavrik1",
                              "io.tavrik1.Manager.Rescan"], capture_output=True).returncode:
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("tavrikd did not come up")
            time.sleep(0.05)

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(WAIT_SECONDS)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            if proc.stdout:
                proc.stdout.close()
