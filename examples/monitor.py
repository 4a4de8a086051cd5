#!/usr/bin/python3
"""Prints every change of a module's inputs, buttons and alarm lines with a timestamp, until
Ctrl-C. Usage: monitor.py [serial]   (the first module of the device list by default)"""
import sys
import time

import tavrik


def main():
    modules = tavrik.devices()
    serial = sys.argv[1] if len(sys.argv) > 1 else (modules[0] if modules else None)
    if serial is None:
        sys.exit("no module attached")
    try:
        with tavrik.Device(serial) as dev:
            while dev.running:
                for event in dev.events(timeout=1.0):
                    stamp = time.strftime("%Y-%m-%d %H:%M:%S")
                    if event.is_error:
                        print(stamp, "error:", tavrik.result_message(event.value), flush=True)
                    else:
                        name = tavrik.io_type_name(event.type)
                        print(f"{stamp} {name}[{event.index}] = {event.value}", flush=True)
    except tavrik.Error as error:
        sys.exit(f"{serial}: {error}")
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
