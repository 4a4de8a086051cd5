import enum
import os
import signal
import threading
import time

import pytest

import tavrik
from tavrik import IoType
from tavrik._tavrik import _bus

from conftest import in_process, module


def test_lists_the_modules_in_either_mode():
    listed = tavrik.devices()
    assert listed[:2] == ["P-VALUES", "P-SET"]
    assert "P-BUSY" in listed  # in use elsewhere, but attached
    assert set(tavrik.serials(tavrik.Mode.either)) >= {"P-VALUES", "P-FW"}
    assert tavrik.serials(tavrik.Mode.bootloader) == []


def test_enums_are_int_enums():
    assert issubclass(IoType, enum.IntEnum) and issubclass(tavrik.Mode, enum.IntEnum)
    assert [t.name for t in IoType][:2] == ["inputs", "outputs"]
    assert IoType(12) is IoType.poe_maxpower and tavrik.io_type_name(IoType.poe_maxpower) == "poe_maxpower"


def test_identity_counts_and_values():
    with tavrik.Device("P-VALUES") as dev:
        assert (dev.name, dev.serial, dev.type_text) == ("Py Rack", "P-VALUES", "TIO-8")
        assert dev.count(IoType.inputs) == 4
        assert dev.count(IoType.poe_status) == 0
        assert dev.value(IoType.inputs, 1) == 1
        assert dev.value(IoType.watchdog, 0) == 30
        assert dev.is_relay(IoType.outputs, 0)
        assert not dev.is_relay(IoType.outputs, 1)


@in_process
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
        (lambda dev: dev.value(IoType.inputs, 99), -7, "IO point number outside range: inputs 99"),
        (lambda dev: dev.set(IoType.inputs, 0, 1), -11, "invalid parameter value: inputs 0"),
        (lambda dev: dev.set(IoType.outputs, 7, 1), -7, "IO point number outside range: outputs 7"),
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


@in_process
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


@in_process
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


def wait_until(condition, seconds=20.0, what="the condition"):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"{what} did not come about"
        time.sleep(0.01)


BAD_TIMEOUTS = [
    (-1.0, ValueError),
    (-1e-9, ValueError),
    (float("nan"), ValueError),
    (float("inf"), OverflowError),
    (1e10, OverflowError),  # past what a steady clock deadline holds
    (3e6, OverflowError),  # past an int of milliseconds
    (tavrik.MAX_TIMEOUT + 1, OverflowError),
]


@pytest.mark.parametrize("timeout, error", BAD_TIMEOUTS)
def test_bad_timeouts_raise_before_anything_is_done(timeout, error):
    with tavrik.Device("P-TIMEOUT") as dev:
        with pytest.raises(error, match="timeout"):
            next(dev.events(timeout=timeout))
        for wait in (True, False):
            with pytest.raises(error, match="timeout"):
                dev.set(IoType.outputs, 0, 1, wait=wait, timeout=timeout)
            assert dev.value(IoType.outputs, 0) == 0
        assert dev.running


@in_process
def test_longest_timeout_is_taken():
    with tavrik.Device("P-TIMEOUT") as dev:
        # Events from the start are waiting, and the write is taken at the next exchange.
        assert next(dev.events(timeout=tavrik.MAX_TIMEOUT)).type == IoType.inputs
        dev.set(IoType.outputs, 0, 1, timeout=tavrik.MAX_TIMEOUT)
        assert _bus.point(module("P-TIMEOUT"), IoType.outputs, 0) == 1
        list(dev.events(timeout=0))  # and so is zero
        dev.set(IoType.outputs, 0, 0, wait=False, timeout=0)
        assert dev.value(IoType.outputs, 0) == 0


@in_process
def test_other_threads_run_while_a_module_opens():
    # Opening P-SLOW takes several slow requests; another thread watches them come in.
    slow = module("P-SLOW")
    before = _bus.requests(slow)  # the listing may have opened it already
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.append(_bus.requests(slow) - before)
            time.sleep(0.005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        with tavrik.Device("P-SLOW"):
            pass
    finally:
        done.set()
        watcher.join(timeout=10.0)
    # Open sends at least status, information, configuration and state: had it held the
    # GIL, the watcher would have seen none of them or all of them.
    assert any(1 <= n <= 2 for n in seen), seen


@in_process
def test_full_event_queue_keeps_the_newest_and_counts_the_dropped():
    flood = module("P-FLOOD")
    over = 101  # odd, so that the oldest and the newest toggles of input 0 differ
    with tavrik.Device("P-FLOOD") as dev:
        list(dev.events(timeout=0.3))  # every input once, right after start
        assert dev.dropped == 0
        toggles = tavrik.EVENT_QUEUE_LIMIT + over - 1
        for n in range(1, toggles + 1):
            _bus.set_point(flood, IoType.inputs, 0, n % 2)
        _bus.set_point(flood, IoType.inputs, 3, 1)  # the newest event
        wait_until(lambda: dev.dropped >= over, what="the overflow")
        kept = [(e.type, e.index, e.value) for e in dev.events(timeout=0.5)]
        assert dev.dropped == over
    assert len(kept) == tavrik.EVENT_QUEUE_LIMIT
    assert kept[-1] == (IoType.inputs, 3, 1)
    assert kept[0] == (IoType.inputs, 0, (over + 1) % 2)  # toggle over + 1 is the oldest kept


def sigint(percent):
    signal.raise_signal(signal.SIGINT)


class Stop(Exception):
    pass


def stop(percent):
    raise Stop(percent)


def keyboard_interrupt(percent):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "fail, error", [(stop, Stop), (keyboard_interrupt, KeyboardInterrupt), (sigint, KeyboardInterrupt)]
)
def test_failing_progress_lets_the_upgrade_finish_then_raises(fail, error):
    calls = []

    def progress(percent):
        calls.append(percent)
        fail(percent)

    with pytest.raises(error):
        tavrik.program(os.environ["TAVRIK_PYTHON_HEX"], "P-FW", progress)
    assert len(calls) == 1  # not called again once it raised
    wait_until(lambda: "P-FW" in tavrik.serials(tavrik.Mode.application), 10.0,
               "the module's return to its application")
    assert "P-FW" not in tavrik.serials(tavrik.Mode.bootloader)
