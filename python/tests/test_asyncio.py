# The device in asyncio: events woken by the event descriptor, writes that wait for the
# module without blocking the loop. Plain asyncio.run, no plugin.
import asyncio

import pytest

import tavrik
from tavrik import IoType

from conftest import VIA_SERVICE, in_process, module
from tavrik._tavrik import _bus


async def collect(dev, on_event):
    """Every event up to the end; on_event(events so far) may act on the device."""
    events = []
    async for event in dev.events_async():
        events.append(event)
        on_event(events)
    return events


def test_events_async_ends_after_the_end_event():
    with tavrik.Device("P-EVENTS") as dev:
        def close_after_the_first_reports(events):
            if len(events) == 4:
                dev.close()

        events = asyncio.run(collect(dev, close_after_the_first_reports))
    assert [e.index for e in events[:4]] == [0, 1, 2, 3]
    assert all(e.initial for e in events[:4])
    assert [(e.is_end, e.sequence) for e in events[4:]] == [(True, 5)]


def test_events_async_after_close_ends_at_once():
    dev = tavrik.Device("P-EVENTS")
    dev.close()
    list(dev.events(timeout=0))
    assert asyncio.run(collect(dev, lambda events: None)) == []


@in_process
def test_events_async_waits_without_blocking_the_loop():
    ticks = []

    async def main(dev):
        async def tick():
            while True:
                ticks.append(len(ticks))
                await asyncio.sleep(0.01)

        ticker = asyncio.get_running_loop().create_task(tick())
        list(dev.events(timeout=0.3))
        asyncio.get_running_loop().call_later(0.2, _bus.set_point, module("P-EVENTS"),
                                              IoType.inputs, 1, 1)
        async for event in dev.events_async():
            ticker.cancel()
            return event, len(ticks)

    with tavrik.Device("P-EVENTS") as dev:
        event, ticked = asyncio.run(main(dev))
    _bus.set_point(module("P-EVENTS"), IoType.inputs, 1, 0)
    assert (event.type, event.index, event.value, event.initial) == (IoType.inputs, 1, 1, False)
    assert ticked > 1  # the loop ran while it waited


@pytest.mark.parametrize("write, points", [
    (lambda dev: dev.set_async(IoType.outputs, 1, 1), [(IoType.outputs, 1, 1)]),
    (lambda dev: dev.set_async(IoType.outputs, 1, 0, timeout=2.0), [(IoType.outputs, 1, 0)]),
    (lambda dev: dev.set_values_async([(IoType.outputs, 0, 1), (IoType.raidleds, 0, 1)]),
     [(IoType.outputs, 0, 1), (IoType.raidleds, 0, 1)]),
    (lambda dev: dev.set_values_async([(IoType.outputs, 0, 0), (IoType.raidleds, 0, 0)]),
     [(IoType.outputs, 0, 0), (IoType.raidleds, 0, 0)]),
])
def test_async_writes_return_once_the_module_took_them(write, points):
    with tavrik.Device("P-SET") as dev:
        asyncio.run(write(dev))
        for type, index, value in points:
            assert dev.value(type, index) == value
            if not VIA_SERVICE:
                assert _bus.point(module("P-SET"), type, index) == value


@pytest.mark.parametrize("write, error", [
    (lambda dev: dev.set_async(IoType.outputs, 9, 1), tavrik.Error),
    (lambda dev: dev.set_async(IoType.outputs, 0, 1, timeout=-1), ValueError),
    (lambda dev: dev.set_values_async([(IoType.inputs, 0, 1)]), tavrik.Error),
])
def test_async_writes_raise_as_the_others_do(write, error):
    with tavrik.Device("P-SET") as dev:
        with pytest.raises(error):
            asyncio.run(write(dev))
