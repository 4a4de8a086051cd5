# One module opened for use: identity, points, snapshots, events and the wait for them.
import pickle
import select
import signal
import threading
import time

import pytest

import tavrik
from tavrik import IoType, PointValue
from tavrik._tavrik import _bus

from conftest import VIA_SERVICE, in_process, initial_events, module, wait_until


def readable(fd):
    return select.select([fd], [], [], 0)[0] == [fd]


def test_identity_counts_and_values():
    with tavrik.Device("P-VALUES") as dev:
        assert (dev.name, dev.serial, dev.type_text) == ("Py Rack", "P-VALUES", "TIO-8")
        assert dev.via_service is VIA_SERVICE
        assert dev.count(IoType.inputs) == 4
        assert dev.count(IoType.poe_status) == 0
        assert dev.value(IoType.inputs, 1) == 1
        assert dev.value(IoType.watchdog, 0) == 30
        assert dev.is_relay(IoType.outputs, 0)
        assert not dev.is_relay(IoType.outputs, 1)


def test_repr_tells_the_module_and_its_state():
    via = ", via service" if VIA_SERVICE else ""
    with tavrik.Device("P-VALUES") as dev:
        assert repr(dev) == f"<tavrik.Device P-VALUES 'Py Rack' open{via}>"
    assert repr(dev) == f"<tavrik.Device P-VALUES 'Py Rack' closed{via}>"


def test_values_are_every_point_in_type_and_index_order():
    with tavrik.Device("P-VALUES") as dev:
        values = dev.values()
        assert values == sorted(values)
        assert [v[:2] for v in values] == [
            (t, i) for t in IoType for i in range(dev.count(t))]
        assert all(v.value == dev.value(v.type, v.index) for v in values)
        assert PointValue(IoType.inputs, 1, 1) in values
        assert (IoType.watchdog, 0, 30) in values
        assert isinstance(values[0].type, IoType)


@pytest.mark.parametrize("writes", [
    [(IoType.outputs, 0, 1), (IoType.outputs, 1, 1), (IoType.raidleds, 1, 1)],
    [PointValue(IoType.outputs, 0, 0), PointValue(IoType.raidleds, 1, 0)],
    [],
])
def test_set_values_sets_them_all_in_one_exchange(writes):
    with tavrik.Device("P-SET") as dev:
        dev.set_values(writes)
        for type, index, value in writes:
            assert dev.value(type, index) == value
            if not VIA_SERVICE:
                assert _bus.point(module("P-SET"), type, index) == value


@in_process
def test_set_returns_once_the_module_took_the_value():
    with tavrik.Device("P-SET") as dev:
        dev.set(IoType.outputs, 1, 1)
        assert _bus.point(module("P-SET"), IoType.outputs, 1) == 1
        dev.set(IoType.raidleds, 1, 1)
        assert _bus.point(module("P-SET"), IoType.raidleds, 1) == 1
        assert dev.value(IoType.outputs, 1) == 1


def test_context_manager_closes_on_exception():
    with pytest.raises(RuntimeError):
        with tavrik.Device("P-CLOSE") as dev:
            raise RuntimeError("caller failed")
    assert not dev.running
    with tavrik.Device("P-CLOSE") as again:  # not left busy
        assert again.running


def test_events_are_the_first_reports_then_the_end():
    before = time.monotonic()
    with tavrik.Device("P-EVENTS") as dev:
        wait_until(lambda: readable(dev.fileno()), what="the first events")
        first = initial_events(dev)
        assert not readable(dev.event_fd)
        after = time.monotonic()
    assert [(e.kind, e.type, e.index) for e in first] == [
        (tavrik.EventKind.io, IoType.inputs, i) for i in range(4)]
    assert [e.sequence for e in first] == [1, 2, 3, 4]
    assert all(e.initial and before <= e.timestamp <= after for e in first)
    assert readable(dev.fileno())  # closed: readable from now on
    end = list(dev.events(timeout=1.0))
    assert [(e.is_end, e.sequence, e.initial) for e in end] == [(True, 5, False)]
    assert end[0].timestamp >= first[-1].timestamp
    assert readable(dev.fileno())
    assert list(dev.events(timeout=1.0)) == []


@in_process
def test_changes_arrive_in_order_after_the_first_reports():
    with tavrik.Device("P-EVENTS") as dev:
        initial_events(dev)
        _bus.set_point(module("P-EVENTS"), IoType.inputs, 2, 1)
        _bus.set_point(module("P-EVENTS"), IoType.inputs, 3, 1)
        seen = [(e.type, e.index, e.value, e.initial) for e in dev.events(timeout=1.0)]
    assert seen == [(IoType.inputs, 2, 1, False), (IoType.inputs, 3, 1, False)]


@pytest.mark.parametrize("event, text", [
    (tavrik.Event(1, 0, 2, 1, 3, 1.5, True), "Event(#3 inputs[2] = 1, initial)"),
    (tavrik.Event(1, 8, 0, 0x69), "Event(#0 poe_status[0] = 105)"),
    (tavrik.Event(0, 13, 0, -103, 9, 2.0), "Event(#9 error -103: Communication timeout)"),
])
def test_events_compare_pickle_and_show_themselves(event, text):
    assert repr(event) == text
    assert pickle.loads(pickle.dumps(event)) == event
    assert event != tavrik.Event(event.kind, event.type, event.index, event.value + 1,
                                 event.sequence, event.timestamp, event.initial)


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
    unplug = module("P-UNPLUG")
    with tavrik.Device("P-UNPLUG") as dev:
        initial_events(dev)
        _bus.unplug(unplug)
        try:
            dev.set(IoType.outputs, 0, 1, wait=False)  # a write makes the thread find out
            events = list(dev.events(timeout=2.0))
            assert [e.value for e in events if e.is_error] == [-103, -100]
            assert events[-1].is_end
            assert not dev.running
            assert repr(dev).endswith(" stopped>")
            with pytest.raises(tavrik.TimeoutError) as raised:
                dev.set(IoType.outputs, 0, 0)
            assert raised.value.code == -103  # what stopped the module's thread
        finally:
            _bus.plug(unplug)


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
        with pytest.raises(error, match="timeout"):
            dev.read_event(timeout)
        for wait in (True, False):
            with pytest.raises(error, match="timeout"):
                dev.set(IoType.outputs, 0, 1, wait=wait, timeout=timeout)
            with pytest.raises(error, match="timeout"):
                dev.set_values([(IoType.outputs, 0, 1)], wait=wait, timeout=timeout)
            assert dev.value(IoType.outputs, 0) == 0
        assert dev.running


@in_process
def test_longest_timeout_is_taken():
    with tavrik.Device("P-TIMEOUT") as dev:
        # Events from the start are waiting, and the write is taken at the next exchange.
        assert next(dev.events(timeout=tavrik.MAX_TIMEOUT)).type == IoType.inputs
        assert dev.read_event(0) is None  # its one input was all
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
@pytest.mark.parametrize("capacity", [tavrik.EVENT_QUEUE_LIMIT, 8])
def test_full_event_queue_keeps_the_newest_and_counts_the_dropped(capacity):
    flood = module("P-FLOOD")
    over = 101  # odd, so that the oldest and the newest toggles of input 0 differ
    try:
        with tavrik.Device("P-FLOOD", event_queue_capacity=capacity) as dev:
            first = initial_events(dev)
            assert dev.dropped == 0
            toggles = capacity + over - 1
            for n in range(1, toggles + 1):
                _bus.set_point(flood, IoType.inputs, 0, n % 2)
            _bus.set_point(flood, IoType.inputs, 3, 1)  # the newest event
            wait_until(lambda: dev.dropped >= over, what="the overflow")
            kept = list(dev.events(timeout=0.5))
            assert dev.dropped == over
    finally:  # the next case starts from the same values
        _bus.set_point(flood, IoType.inputs, 0, 0)
        _bus.set_point(flood, IoType.inputs, 3, 0)
    assert len(kept) == capacity
    assert (kept[-1].type, kept[-1].index, kept[-1].value) == (IoType.inputs, 3, 1)
    # Toggle over + 1 is the oldest kept; the gap in the numbers is what was dropped.
    assert (kept[0].index, kept[0].value) == (0, (over + 1) % 2)
    assert kept[0].sequence == first[-1].sequence + over + 1
    assert [e.sequence for e in kept] == list(range(kept[0].sequence, kept[-1].sequence + 1))


@pytest.mark.parametrize("cls", [tavrik.Device, tavrik.Monitor])
def test_every_public_member_has_a_docstring(cls):
    members = [name for name in vars(cls) if not name.startswith("_")]
    assert members
    assert [name for name in members if not getattr(cls, name).__doc__] == []
