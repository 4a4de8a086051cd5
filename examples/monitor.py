#!/usr/bin/python3
"""A small monitoring daemon over the tavrik package and asyncio: follows modules as they are
plugged in and out, opens each one in application mode and prints the changes of its inputs,
buttons and alarm lines, until SIGINT or SIGTERM. Usage: monitor.py"""
import asyncio
import contextlib
import signal
import sys
import time

import tavrik


def say(serial, text):
    print(time.strftime("%Y-%m-%d %H:%M:%S"), serial, text, flush=True)


async def follow(dev):
    """Prints one module's events until it goes away."""
    async for event in dev.events_async():
        if event.is_end:
            break
        if event.is_error:
            say(dev.serial, f"error: {tavrik.result_message(event.value)}")
        else:
            name = tavrik.io_type_name(event.type)
            initial = " (initial)" if event.initial else ""
            say(dev.serial, f"{name}[{event.index}] = {event.value}{initial}")


async def watch():
    followers = {}  # serial -> (device, task)
    try:
        with tavrik.Monitor() as monitor:
            async for change in monitor.changes_async():
                module = change.module
                mode = tavrik.Mode(module.mode).name
                say(module.serial, f"{'arrived' if change.arrived else 'left'} ({mode})")
                if module.mode != tavrik.Mode.application:
                    continue
                if not change.arrived:
                    dev, task = followers.pop(module.serial, (None, None))
                    if dev is not None:
                        task.cancel()
                        dev.close()
                    continue
                try:
                    dev = tavrik.Device(module.serial)
                except tavrik.Error as error:
                    print(f"{module.serial}: {error}", file=sys.stderr)
                    continue
                followers[module.serial] = (dev, asyncio.create_task(follow(dev)))
    finally:
        for dev, task in followers.values():
            task.cancel()
            dev.close()


async def main():
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stop.set)
    watcher = asyncio.create_task(watch())
    await stop.wait()
    watcher.cancel()  # the monitor stops and every device closes on the way out
    with contextlib.suppress(asyncio.CancelledError):
        await watcher


if __name__ == "__main__":
    asyncio.run(main())
