"""Tavrik IO modules from Python.

    import tavrik

    for serial in tavrik.devices():
        with tavrik.Device(serial) as dev:
            print(dev.name, dev.value(tavrik.IoType.inputs, 0))
            dev.set(tavrik.IoType.outputs, 0, 1)
            for event in dev.events(timeout=1.0):
                print(event)

Failures raise tavrik.Error, which carries the library's result code and its message.
Timeouts are seconds, from 0 to MAX_TIMEOUT (about 24.8 days): a negative or NaN one raises
ValueError, a larger one (infinity too) OverflowError, before anything is done.
"""

from dataclasses import dataclass
from enum import IntEnum
from typing import Callable, Iterator, List, Optional

from . import _tavrik
from ._tavrik import (
    EVENT_QUEUE_LIMIT,
    MAX_TIMEOUT,
    __version__,
    devices,
    io_type_name,
    is_writable,
    result_message,
)

__all__ = [
    "EVENT_QUEUE_LIMIT",
    "MAX_TIMEOUT",
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


# Real IntEnums, with the names and values of the module's own enums.
IoType = IntEnum(
    "IoType", [(name, int(value)) for name, value in _tavrik.IoType.__members__.items()],
    module=__name__)
IoType.__doc__ = "IO point types; within a type, points are numbered from 0."
Mode = IntEnum(
    "Mode", [(name, int(value)) for name, value in _tavrik.Mode.__members__.items()],
    module=__name__)
Mode.__doc__ = "Which modules serials() lists: in their application, bootloader or either."


@dataclass(frozen=True, repr=False)
class Event:
    """An event of a module: a point's change (kind 1) or an error (kind 0), whose value is
    the result code; an error's type is 13 and its index 0."""

    kind: int
    type: int
    index: int
    value: int

    @property
    def is_error(self) -> bool:
        return self.kind == 0

    def __repr__(self) -> str:
        if self.is_error:
            return f"Event(error {self.value}: {result_message(self.value)})"
        return f"Event({io_type_name(self.type)}[{self.index}] = {self.value})"


def serials(mode: Mode = Mode.either) -> List[str]:
    """Serial numbers of the attached modules in that mode, in physical order, each once,
    without opening them."""
    return _tavrik.serials(_tavrik.Mode(int(mode)))


class Error(Exception):
    """A failure reported by a module or the library: code is the result code."""

    def __init__(self, code: int, message: str):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return f"{self.message} ({self.code})"


class Device:
    """One module, opened and started on construction, closed by close() or a with block.

    Its events wait in a queue of at most EVENT_QUEUE_LIMIT (1024) events until events()
    takes them. When nobody takes them and the queue is full, each new event pushes out the
    oldest, so the newest values are always kept, and dropped counts those pushed out."""

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
        and raises Error when it did not within timeout seconds. A timeout below 0 or NaN
        raises ValueError, one above MAX_TIMEOUT OverflowError, and the point stays as it was."""
        self._device.set(int(type), index, value, wait, timeout)

    def count(self, type: IoType) -> int:
        """The number of points of a type (0 when the module has none)."""
        return self._device.count(int(type))

    def is_relay(self, type: IoType, index: int) -> bool:
        return self._device.is_relay(int(type), index)

    def events(self, timeout: float = 1.0) -> Iterator[Event]:
        """Yields the module's events (changes of points that are not writable, and errors)
        until none has come for timeout seconds. A timeout below 0 or NaN raises ValueError,
        one above MAX_TIMEOUT OverflowError."""
        while True:
            event = self._device.next_event(timeout)
            if event is None:
                return
            yield Event(*event)

    @property
    def dropped(self) -> int:
        """How many events the full queue has pushed out since the module was opened."""
        return self._device.dropped

    @property
    def running(self) -> bool:
        """Whether the module's API thread still runs (it stops on a failure)."""
        return self._device.running

    @property
    def name(self) -> str:
        return self._device.name

    @property
    def serial(self) -> str:
        return self._device.serial

    @property
    def type_text(self) -> str:
        return self._device.type_text

    @property
    def firmware_version(self) -> str:
        return self._device.firmware_version

    @property
    def hardware_version(self) -> str:
        return self._device.hardware_version

    @property
    def index(self) -> int:
        """The module's index in tavrik.ini; -1 for none."""
        return self._device.index

    @property
    def watchdog_time(self) -> int:
        """Seconds since 1970 (UTC); 0 for none."""
        return self._device.watchdog_time


def program(hex_file: str, serial: str,
            progress: Optional[Callable[[int], object]] = None) -> None:
    """Upgrades a module's firmware from an Intel HEX file, as tavrik_program -p does.
    progress(percent) is called after each programmed frame. Raises Error on failure.

    An exception from progress, a KeyboardInterrupt from Ctrl-C too, does not stop the
    upgrade half way, which would leave the module in its bootloader: progress is not called
    again, the upgrade runs to its end, and then that exception is raised, with a note when
    the upgrade failed as well. Without progress, Ctrl-C takes effect once the upgrade is
    over."""
    _tavrik.program(hex_file, serial, progress)
