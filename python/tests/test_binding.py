import os
import signal
import threading
import time

import pytest

import tavrik
from tavrik import IoType
from tavrik._tavrik import _bus

from conftest import module


def test_lists_the_modules_in_either_mode():
    listed = tavrik.devices()
    assert listed[:2] == ["P-VALUES", "P-SET"]
    assert "P-BUSY" in listed  # in use elsewhere, but attached
    assert set(tavrik.serials(tavrik.Mode.either)) >= {"P-VALUES", "P-FW"}
    assert tavrik.serials(tavrik.Mode.bootloader) == []


def test_identity_counts_and_values():
    with tavrik.Device("P-VALUES") as dev:
        assert (dev.name, dev.serial, dev.type_text) == ("Py Rack", "P-VALUES", "TIO-8")
        assert dev.count(IoType.inputs) == 4
        assert dev.count(IoType.poe_status) == 0
        assert dev.value(IoType.inputs, 1) == 1
        assert dev.value(IoType.watchdog, 0) == 30
        assert dev.is_relay(IoType.outputs, 0)
        assert not dev.is_relay(IoType.outputs, 1)


def test_set_returns_once_the_module_took_the_value():
    with tavrik.Device("P-SET") as dev:
        dev.set(IoType.outputs, 1, 1)
        assert _bus.point(module("P-SET"), IoType.outputs, 1) == 1
        dev.set(IoType.raidleds, 1, 1)
        assert _bus.point(module("P-SET"), IoType.raidleds, 1) == 1
        assert dev.value(IoType.outputs, 1) == 1


@pytest.mark.parametrize(
    "action, code, message",
    [
        (lambda dev: dev.value(IoType.inputs, 99), -7, "IO point number outside range"),
        (lambda dev: dev.set(IoType.inputs, 0, 1), -11, "invalid parameter value"),
        (lambda dev: dev.set(IoType.outputs, 7, 1), -7, "IO point number outside range"),
    ],
)
def test_point_errors_raise_with_code_and_message(action, code, message):
    with tavrik.Device("P-VALUES") as dev:
        with pytest.raises(tavrik.Error) as raised:
            action(dev)
        assert (raised.value.code, raised.value.message) == (code, message)


@pytest.mark.parametrize(
    "serial, code", [("P-BUSY", -1), ("NO-SUCH-MODULE", -101)]
)
def test_open_errors_raise(serial, code):
    with pytest.raises(tavrik.Error) as raised:
        tavrik.Device(serial)
    assert raised.value.code == code
    assert tavrik.result_message(code) in str(raised.value)


def test_events_arrive_in_order():
    with tavrik.Device("P-EVENTS") as dev:
        list(dev.events(timeout=0.3))  # every input once, right after start
        _bus.set_point(module("P-EVENTS"), IoType.inputs, 2, 1)
        _bus.set_point(module("P-EVENTS"), IoType.inputs, 3, 1)
        seen = [(e.type, e.index, e.value) for e in dev.events(timeout=1.0)]
    assert seen == [(IoType.inputs, 2, 1), (IoType.inputs, 3, 1)]


def test_context_manager_closes_on_exception():
    with pytest.raises(RuntimeError):
        with tavrik.Device("P-CLOSE") as dev:
            raise RuntimeError("caller failed")
    assert not dev.running
    with tavrik.Device("P-CLOSE") as again:  # not left busy
        assert again.running


def test_interrupt_while_waiting_for_events_does_not_deadlock():
    main = threading.main_thread().ident
    timer = threading.Timer(0.3, lambda: signal.pthread_kill(main, signal.SIGINT))
    with tavrik.Device("P-CLOSE") as dev:
        timer.start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            for _ in dev.events(timeout=30.0):
                pass
        assert time.monotonic() - started < 20.0
    timer.join()


def test_unplugged_module_ends_with_errors_and_refuses_writes():
    with tavrik.Device("P-UNPLUG") as dev:
        list(dev.events(timeout=0.3))
        _bus.unplug(module("P-UNPLUG"))
        dev.set(IoType.outputs, 0, 1, wait=False)  # a write makes the thread find out
        errors = [e.value for e in dev.events(timeout=2.0) if e.is_error]
        assert errors == [-103, -100]
        assert not dev.running
        with pytest.raises(tavrik.Error) as raised:
            dev.set(IoType.outputs, 0, 0)
        assert raised.value.code == -103  # what stopped the module's thread


def test_firmware_upgrade_reports_progress():
    progress = []
    tavrik.program(os.environ["TAVRIK_PYTHON_HEX"], "P-FW", progress.append)
    assert progress and progress[-1] == 100
    assert progress == sorted(progress)
    # Back in its application once its restart is over.
    deadline = time.monotonic() + 10.0
    while "P-FW" not in tavrik.serials(tavrik.Mode.application):
        assert time.monotonic() < deadline, "the module did not come back"
        time.sleep(0.05)


def test_firmware_upgrade_failure_raises(tmp_path):
    bad = tmp_path / "bad.hex"
    bad.write_text("not a hex file\n")
    with pytest.raises(tavrik.Error) as raised:
        tavrik.program(str(bad), "P-FW")
    assert raised.value.code == -3
