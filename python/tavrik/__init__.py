"""Tavrik IO modules from Python.

    import tavrik

    for serial in tavrik.devices():
        with tavrik.Device(serial) as dev:
            print(dev.name, dev.value(tavrik.IoType.inputs, 0))
            dev.set(tavrik.IoType.outputs, 0, 1)
            for event in dev.events(timeout=1.0):
                print(event)

Failures raise tavrik.Error, which carries the library's result code and its message.
"""

from . import _tavrik
from ._tavrik import (
    Event,
    IoType,
    Mode,
    __version__,
    devices,
    io_type_name,
    is_writable,
    result_message,
    serials,
)

__all__ = [
    "Device",
    "Error",
    "Event",
    "IoType",
    "Mode",
    "devices",
    "io_type_name",
    "is_writable",
    "program",
    "result_message",
    "serials",
]


class Error(Exception):
    """A failure reported by a module or the library: code is the result code."""

    def __init__(self, code: int, message: str):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return f"{self.message} ({self.code})"


class Device:
    """One module, opened and started on construction, closed by close() or a with block."""

    def __init__(self, serial: str):
        self._device = _tavrik._Device(serial)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info) -> bool:
        self.close()
        return False

    def close(self) -> None:
        """Stops the module's API thread and closes it; safe to call again."""
        self._device.close()

    def value(self, type: IoType, index: int) -> int:
        """The value of a point, as last exchanged with the module."""
        return self._device.value(int(type), index)

    def set(self, type: IoType, index: int, value: int, wait: bool = True,
            timeout: float = 4.0) -> None:
        """Sets a writable point. With wait, returns once the module has taken the value,
        and raises Error when it did not within timeout seconds."""
        self._device.set(int(type), index, value, wait, timeout)

    def count(self, type: IoType) -> int:
        """The number of points of a type (0 when the module has none)."""
        return self._device.count(int(type))

    def is_relay(self, type: IoType, index: int) -> bool:
        return self._device.is_relay(int(type), index)

    def events(self, timeout: float = 1.0):
        """Yields the module's events (changes of points that are not writable, and errors)
        until none has come for timeout seconds."""
        while True:
            event = self._device.next_event(timeout)
            if event is None:
                return
            yield event

    @property
    def running(self) -> bool:
        """Whether the module's API thread still runs (it stops on a failure)."""
        return self._device.running

    name = property(lambda self: self._device.name)
    serial = property(lambda self: self._device.serial)
    type_text = property(lambda self: self._device.type_text)
    firmware_version = property(lambda self: self._device.firmware_version)
    hardware_version = property(lambda self: self._device.hardware_version)
    index = property(lambda self: self._device.index)
    watchdog_time = property(lambda self: self._device.watchdog_time)


def program(hex_file: str, serial: str, progress=None) -> None:
    """Upgrades a module's firmware from an Intel HEX file, as tavrik_program -p does.
    progress(percent) is called after each programmed frame. Raises Error on failure."""
    _tavrik.program(hex_file, serial, progress)
