#!/usr/bin/python3
"""The installed interface description io.tavrik1.xml against what tavrikd serves.

Runs tavrikd_virtual with one virtual module on a private dbus-daemon, introspects the root
object and the module's object, and compares every io.tavrik1 interface with the file: the
same methods, properties and signals, with the same argument names, types and directions.

Usage: bus-interface-test.py INTERFACE_XML TAVRIKD_VIRTUAL [DBUS_DAEMON]
"""

import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from test_service import BUS_CONFIG  # noqa: E402  (the test bus the other tests run)

SCENARIO = "[module]\nserial = A100\ninfo_name = Rack 1\ntype = TIO-8\nconfig = 0 0 0 0 65 1 5\n"
MODULE_PATH = "/io/tavrik1/module/A100"
WAIT = 10


def members(xml_text):
    """io.tavrik1.* interfaces as {interface: {(kind, name): description}}."""
    found = {}
    for interface in ElementTree.fromstring(xml_text).iter("interface"):
        name = interface.get("name")
        if not name.startswith("io.tavrik1."):
            continue
        table = found.setdefault(name, {})
        for element in interface:
            if element.tag == "property":
                table[("property", element.get("name"))] = (element.get("type"),
                                                             element.get("access"))
            elif element.tag in ("method", "signal"):
                table[(element.tag, element.get("name"))] = tuple(
                    (arg.get("name"), arg.get("type"),
                     arg.get("direction", "in" if element.tag == "method" else "out"))
                    for arg in element.iter("arg"))
    return found


def compare(expected, served):
    problems = []
    for interface in sorted(set(expected) | set(served)):
        if interface not in served:
            problems.append("%s: in the file, not served" % interface)
            continue
        if interface not in expected:
            problems.append("%s: served, not in the file" % interface)
            continue
        want, have = expected[interface], served[interface]
        for key in sorted(set(want) | set(have)):
            if want.get(key) != have.get(key):
                problems.append("%s %s %s: file %s, served %s" %
                                (interface, key[0], key[1], want.get(key), have.get(key)))
    return problems


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    import dbus.bus
    xml_file, daemon = sys.argv[1], sys.argv[2]
    dbus_daemon = sys.argv[3] if len(sys.argv) == 4 else shutil.which("dbus-daemon")
    with open(xml_file, encoding="utf-8") as f:
        expected = members(f.read())
    scratch = tempfile.mkdtemp(prefix="tavrik-interface-")
    processes = []
    files = []
    try:
        socket = os.path.join(scratch, "bus")
        config = os.path.join(scratch, "bus.conf")
        scenario = os.path.join(scratch, "scenario.txt")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BUS_CONFIG % ("unix:path=" + socket))
        with open(scenario, "w", encoding="utf-8") as f:
            f.write(SCENARIO)
        bus = subprocess.Popen([dbus_daemon, "--config-file=" + config, "--nofork",
                                "--print-address"], stdout=subprocess.PIPE, text=True)
        processes.append(bus)
        ready, _, _ = select.select([bus.stdout], [], [], WAIT)
        address = bus.stdout.readline().strip() if ready else ""
        if not address:
            print("FAIL dbus-daemon gave no address")
            return 1
        log = open(os.path.join(scratch, "tavrikd.err"), "w+", encoding="utf-8")
        files.append(log)
        processes.append(subprocess.Popen(
            [daemon, "--bus", address], stderr=log,
            env=dict(os.environ, TAVRIK_VIRTUAL_SCENARIO=scenario)))
        client = dbus.bus.BusConnection(address)
        deadline = time.monotonic() + WAIT
        while not client.name_has_owner("io.tavrik1"):
            if time.monotonic() > deadline:
                log.seek(0)
                print("FAIL tavrikd did not own io.tavrik1: " + log.read())
                return 1
            time.sleep(0.05)
        # Returns once the first scan has made the module's object.
        client.call_blocking("io.tavrik1", "/io/tavrik1", "io.tavrik1.Manager", "Rescan", "",
                             (), timeout=WAIT)
        served = {}
        for path in ("/io/tavrik1", MODULE_PATH):
            text = client.call_blocking("io.tavrik1", path, "org.freedesktop.DBus.Introspectable",
                                        "Introspect", "", (), timeout=WAIT)
            served.update(members(str(text)))
        problems = compare(expected, served)
        for problem in problems:
            print("FAIL " + problem)
        if not problems:
            print("PASS %s describes what tavrikd serves" % os.path.basename(xml_file))
        client.close()
        return 1 if problems else 0
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout:
                process.stdout.close()
        for f in files:
            f.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
