# The hot-plug monitor: the modules attached at its start, then what arrives and leaves. An
# upgrade changes a module on both paths; this process's virtual bus can also unplug one.
# Through the service a module in its application is there once tavrikd serves it, which it
# cannot do for the one that another program holds.
import asyncio
import math
import os
import pickle
import select
import threading

import pytest

import tavrik
from tavrik import Mode
from tavrik._tavrik import _bus

from conftest import VIA_SERVICE, in_process, module

SCAN = 0.02  # seconds; where udev does not reach, the scans are all the monitor has
WAIT = 20.0  # seconds, the bound of every wait for reports


def readable(fd):
    return select.select([fd], [], [], 0)[0] == [fd]


def drain(monitor):
    changes = []
    while (change := monitor.read(0)) is not None:
        changes.append(change)
    return changes


def monitored():
    """The modules that the monitor reports at its start."""
    return [m for m in tavrik.attached_modules() if not (VIA_SERVICE and m.serial == "P-BUSY")]


def summary(changes):
    return [(c.arrived, c.module.serial, c.module.mode) for c in changes]


def test_start_reports_the_attached_modules_as_initial_arrivals():
    monitor = tavrik.Monitor(scan_interval=SCAN)
    with pytest.raises(tavrik.ClosedError):
        monitor.read(0)
    with monitor:
        assert readable(monitor.fileno())
        first = drain(monitor)
        assert not readable(monitor.fileno())
        assert [c.module for c in first] == monitored()
        assert all(c.arrived and c.initial for c in first)
        assert monitor.read(0.1) is None  # nothing changed
    assert readable(monitor.fileno())
    with pytest.raises(tavrik.ClosedError):
        monitor.read(0)


def test_upgrade_shows_the_module_leave_and_come_back_in_each_mode():
    with tavrik.Monitor(scan_interval=SCAN) as monitor:
        drain(monitor)
        tavrik.program(os.environ["TAVRIK_PYTHON_HEX"], "P-FW")
        changes = [monitor.read(4.0)]
        while summary(changes[-1:]) != [(True, "P-FW", Mode.application)]:
            changes.append(monitor.read(4.0))
            assert changes[-1] is not None, summary(changes)
    # The bootloader is brief: a scan may fall beside it, but shows it leave after arriving.
    assert summary(changes[:1]) == [(False, "P-FW", Mode.application)]
    assert summary(changes[1:-1]) in ([], [(True, "P-FW", Mode.bootloader),
                                          (False, "P-FW", Mode.bootloader)])
    assert not any(c.initial for c in changes)
    assert all(a.timestamp <= b.timestamp for a, b in zip(changes, changes[1:]))


@in_process
def test_unplug_and_plug_leave_and_arrive():
    boot = module("P-BOOT")
    with tavrik.Monitor(scan_interval=SCAN) as monitor:
        before = next(c.module for c in drain(monitor) if c.module.serial == "P-BOOT")
        _bus.unplug(boot)
        left = monitor.read(4.0)
        _bus.plug(boot)
        arrived = monitor.read(4.0)
    assert summary([left, arrived]) == [(False, "P-BOOT", Mode.bootloader),
                                        (True, "P-BOOT", Mode.bootloader)]
    assert left.module == before
    assert arrived.module.path != before.path  # back under a new path
    assert repr(left) == "HotplugEvent(left P-BOOT bootloader)"


def test_iteration_ends_when_the_monitor_is_stopped():
    with tavrik.Monitor(scan_interval=SCAN) as monitor:
        count = len(monitored())
        seen = []
        # Stopped in any case, so that a report that never comes fails the test, not hangs it.
        bound = threading.Timer(WAIT, monitor.stop)
        bound.start()
        for change in monitor:
            seen.append(change)
            if len(seen) == count:
                threading.Thread(target=monitor.stop).start()
        bound.cancel()
    assert [c.module for c in seen] == monitored()


def test_changes_async_until_stopped():
    async def watch(monitor):
        seen = []
        async for change in monitor.changes_async():
            seen.append(change)
            if len(seen) == len(monitored()):
                monitor.stop()
        return seen

    with tavrik.Monitor(scan_interval=SCAN) as monitor:
        seen = asyncio.run(asyncio.wait_for(watch(monitor), WAIT))
    assert all(c.initial for c in seen)
    assert [c.module for c in seen] == monitored()


@in_process
def test_changes_async_wakes_for_an_unplug():
    boot = module("P-BOOT")

    async def watch(monitor):
        drain(monitor)
        asyncio.get_running_loop().call_later(0.1, _bus.unplug, boot)
        async for change in monitor.changes_async():
            return change

    try:
        with tavrik.Monitor(scan_interval=SCAN) as monitor:
            change = asyncio.run(watch(monitor))
    finally:
        _bus.plug(boot)
    assert summary([change]) == [(False, "P-BOOT", Mode.bootloader)]


def test_hotplug_events_compare_and_pickle():
    info = tavrik.ModuleInfo("P-X", Mode.application, "Tavrik IO", "1-1", "/dev/hidraw9")
    change = tavrik.HotplugEvent(True, info, 12.5, True)
    assert pickle.loads(pickle.dumps(change)) == change
    assert change != tavrik.HotplugEvent(False, info, 12.5, True)
    assert repr(change) == "HotplugEvent(arrived P-X application, initial)"


@pytest.mark.parametrize("interval, error", [
    (0, ValueError), (-1.0, ValueError), (math.nan, ValueError),
    (math.inf, OverflowError), (tavrik.MAX_TIMEOUT + 1, OverflowError),
])
def test_bad_scan_intervals_raise(interval, error):
    with pytest.raises(error, match="scan_interval"):
        tavrik.Monitor(scan_interval=interval)
