# The test build of the package runs over a bus of virtual modules that one scenario file
# describes; the file must be in place before the package is first used.
import atexit
import os
import sys
import tempfile
import time

import pytest

MODULES = ["P-VALUES", "P-SET", "P-EVENTS", "P-CLOSE", "P-UNPLUG", "P-BUSY", "P-FW",
           "P-TIMEOUT", "P-SLOW", "P-FLOOD", "P-BOOT"]

SCENARIO = """
[module]
serial = P-VALUES
location = 1-1
info_name = Py Rack
config = 0 0 0 0 65 1 4 5
point = 0 1 1
point = 5 0 30

[module]
serial = P-SET
location = 1-2
config = 0 0 65 1 4 4

[module]
serial = P-EVENTS
location = 1-3
config = 0 0 0 0 65 1

[module]
serial = P-CLOSE
location = 1-4
config = 0 0 1

[module]
serial = P-UNPLUG
location = 1-5
config = 0 0 1

[module]
serial = P-BUSY
location = 1-6
busy = 1

[module]
serial = P-FW
location = 1-7
restart_ms = 100

[module]
serial = P-TIMEOUT
location = 1-8
config = 0 65

# Each request takes a while, so opening takes several of these.
[module]
serial = P-SLOW
location = 1-9
config = 0 65
command_ms = 60

[module]
serial = P-FLOOD
location = 2-1
config = 0 0 0 0

# In its bootloader: listed without being opened, and never in tavrik.ini.
[module]
serial = P-BOOT
location = 2-2
bootloader = 1
"""

# The indexes that the listing assigns, and so its order, start from an empty tavrik.ini, not
# from what the tests that ran before in this build left there; the ten modules here in their
# application fill every section, so the file goes again at the end for the tests that come
# after.
_config = os.path.join(os.environ["TAVRIK_TEST_CONFIG_DIR"], "tavrik.ini")


def _remove_config():
    try:
        os.remove(_config)
    except FileNotFoundError:
        pass


_remove_config()
atexit.register(_remove_config)

_scratch = tempfile.mkdtemp(prefix="tavrik-python-")
_path = os.path.join(_scratch, "bus.scenario")
with open(_path, "w") as f:
    f.write(SCENARIO)
os.environ["TAVRIK_VIRTUAL_SCENARIO"] = _path

# TAVRIK_TEST_VIA_SERVICE=1: tavrikd holds the same modules on a private bus first, and the
# package reaches them through it.
VIA_SERVICE = os.environ.get("TAVRIK_TEST_VIA_SERVICE") == "1"
if VIA_SERVICE:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "support"))
    from test_service import Service

    _service = Service(_scratch, SCENARIO, os.environ["TAVRIKD"], os.environ["DBUS_DAEMON"])
    atexit.register(_service.stop)
    os.environ.update(_service.client_env)

# A test that drives the virtual modules of this process (tavrik._tavrik._bus): through the
# service the modules it reaches are tavrikd's.
in_process = pytest.mark.skipif(VIA_SERVICE, reason="drives this process's virtual modules")


def module(serial):
    """The module's place on the bus, for tavrik._tavrik._bus."""
    return MODULES.index(serial)


def wait_until(condition, seconds=20.0, what="the condition"):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"{what} did not come about"
        time.sleep(0.01)


def initial_events(dev):
    """The first report of every point that is not writable, which start() brings."""
    return list(dev.events(timeout=0.3))
