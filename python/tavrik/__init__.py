"""Tavrik IO modules from Python.

    import tavrik

    for serial in tavrik.devices():
        with tavrik.Device(serial) as dev:
            print(dev.name, dev.value(tavrik.IoType.inputs, 0))
            dev.set(tavrik.IoType.outputs, 0, 1)
            dev.set_values([(tavrik.IoType.outputs, 0, 0), (tavrik.IoType.outputs, 1, 1)])
            for type, index, value in dev.values():
                print(type.name, index, value)
            for event in dev.events(timeout=1.0):
                print(event.sequence, event.timestamp, event)

Events wait in the library's queue of each device (EVENT_QUEUE_LIMIT unless Device is told
otherwise); dev.fileno() polls readable while one waits, for select, selectors or an event
loop. In asyncio:

    async for event in dev.events_async():
        ...
    await dev.set_async(tavrik.IoType.outputs, 0, 1)

attached_modules() lists the modules in both modes without opening them; Monitor reports them
arriving and leaving (with monitor: for change in monitor: ..., or changes_async()).

Failures raise tavrik.Error, which carries the library's result code (.code, a Result, or a
BootloaderResult for program()) and the library's message (.message). Its subclasses say the
kind: BusyError (in use elsewhere), NotFoundError (no such module, or none in its bootloader
for an upgrade; the library does not tell an open refused by the system from a missing
module), TimeoutError (also the builtin TimeoutError: the module or its bootloader did not
answer in time), PermissionError (also the builtin PermissionError: the configuration file
could not be read or written, ConfigFileFailed), ClosedError (the device is closed or its API
thread has stopped) and FirmwareError (any other failed upgrade). A failure about one point
names it ("IO point number outside range: outputs 7").

Timeouts are seconds, from 0 to MAX_TIMEOUT (about 24.8 days): a negative or NaN one raises
ValueError, a larger one (infinity too) OverflowError, before anything is done. Where None is
allowed, it waits without end. Waits let a KeyboardInterrupt through.
"""

import asyncio
import builtins
import math
from dataclasses import dataclass
from enum import IntEnum
from typing import (AsyncIterator, Callable, Iterable, Iterator, List, NamedTuple, Optional,
                    Tuple, Type, Union)

from . import _tavrik
from ._tavrik import (
    EVENT_QUEUE_LIMIT,
    MAX_TIMEOUT,
    POE_CLASS_MASK,
    POE_STATUS_FLAGS,
    devices,
    event_kind_name,
    io_type_name,
    is_writable,
    library_version,
    point_result_message,
)

__version__ = library_version()

__all__ = [
    "EVENT_QUEUE_LIMIT",
    "MAX_TIMEOUT",
    "POE_CLASS_MASK",
    "POE_STATUS_FLAGS",
    "BootloaderResult",
    "BusyError",
    "ClosedError",
    "Device",
    "Error",
    "Event",
    "EventKind",
    "FirmwareError",
    "HotplugEvent",
    "IoType",
    "Mode",
    "ModuleInfo",
    "Monitor",
    "NotFoundError",
    "PermissionError",
    "PointValue",
    "Result",
    "TimeoutError",
    "attached_modules",
    "devices",
    "event_kind_name",
    "io_type_name",
    "is_writable",
    "library_version",
    "poe_class",
    "poe_flags",
    "point_result_message",
    "program",
    "result_message",
    "serials",
]


def _int_enum(name: str, members: Iterable[Tuple[str, int]], doc: str) -> Type[IntEnum]:
    enum = IntEnum(name, list(members), module=__name__)  # type: ignore[misc]
    enum.__doc__ = doc
    return enum


# Real IntEnums, with the library's names and values.
IoType = _int_enum(
    "IoType", [(io_type_name(t), t) for t in range(_tavrik.IO_TYPE_COUNT)],
    "IO point types; within a type, points are numbered from 0.")
EventKind = _int_enum(
    "EventKind", [(event_kind_name(k), k) for k in (_tavrik.EVENT_ERROR, _tavrik.EVENT_IO)],
    "What an Event reports: a point's change (io) or an error (error).")
Mode = _int_enum(
    "Mode", [(name, int(value)) for name, value in _tavrik.Mode.__members__.items()],
    "Which modules are meant: in their application, their bootloader or either.")
Result = _int_enum(
    "Result", [(name, int(value)) for name, value in _tavrik.Result.__members__.items()],
    "The library's result codes: the module's (-1 to -14) and the host's (-100 and below).")
BootloaderResult = _int_enum(
    "BootloaderResult",
    [(name, int(value)) for name, value in _tavrik.BootloaderResult.__members__.items()],
    "The results of a firmware upgrade; the codes overlap Result's.")


def result_message(code: int) -> str:
    """The library's message of a result code; a BootloaderResult gives the upgrade's, as
    tavrik_program prints it. "Unknown Error" for a code that is none."""
    if isinstance(code, BootloaderResult):
        return _tavrik.bootloader_result_message(int(code))
    return _tavrik.result_message(int(code))


def poe_class(word: int) -> int:
    """The PoE class (0 to 7) of a poe_status value."""
    return word & POE_CLASS_MASK


def poe_flags(word: int) -> List[str]:
    """The words of the flags set in a poe_status value ("enabled", "powered", ...), in the
    order tavrik_info prints them."""
    return [name for mask, name in POE_STATUS_FLAGS if word & mask]


class Error(Exception):
    """A failure reported by a module or the library: code is the result code, message the
    library's text for it."""

    def __init__(self, code: int, message: str):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return f"{self.message} ({int(self.code)})"


class BusyError(Error):
    """The module is in use by another program (DeviceBusy)."""


class NotFoundError(Error):
    """No such module to open (UnableToOpenDevice), or none with that serial in its
    bootloader for an upgrade (BootDeviceNotFound)."""


class TimeoutError(Error, builtins.TimeoutError):
    """The module did not answer in time (CommunicationTimeout), or its bootloader did not
    (BootReadFailed)."""


class PermissionError(Error, builtins.PermissionError):
    """The configuration file could not be read or written (ConfigFileFailed)."""


class ClosedError(Error):
    """The device is closed (DeviceNotOpen), or its API thread has stopped
    (ApiThreadStopped), or a monitor is not started."""


class FirmwareError(Error):
    """A firmware upgrade failed for another reason: the file, the verification, the
    bootloader's replies, or the module went away."""


_DEVICE_ERRORS = {
    Result.DeviceBusy: BusyError,
    Result.UnableToOpenDevice: NotFoundError,
    Result.CommunicationTimeout: TimeoutError,
    Result.ConfigFileFailed: PermissionError,
    Result.DeviceNotOpen: ClosedError,
    Result.ApiThreadStopped: ClosedError,
}
_UPGRADE_ERRORS = {
    BootloaderResult.BootDeviceNotFound: NotFoundError,
    BootloaderResult.BootReadFailed: TimeoutError,
}


def _error(code: int, message: str, upgrade: bool) -> Error:
    """The exception for a code of the library; the binding raises it."""
    codes = BootloaderResult if upgrade else Result
    table = _UPGRADE_ERRORS if upgrade else _DEVICE_ERRORS
    default = FirmwareError if upgrade else Error
    known = code in codes._value2member_map_
    typed = codes(code) if known else code
    return table.get(typed, default)(typed, message)


@dataclass(frozen=True, repr=False)
class Event:
    """An event of a module: a point's change (kind io) or an error (kind error), whose value
    is the result code; an error's type is 13 and its index 0. sequence counts from 1 at the
    start, also the events the full queue dropped; timestamp is when the library received it,
    in seconds on time.monotonic()'s clock; initial marks a point's first report after the
    start, its value then rather than a change."""

    kind: int
    type: int
    index: int
    value: int
    sequence: int = 0
    timestamp: float = 0.0
    initial: bool = False

    @property
    def is_error(self) -> bool:
        """Whether it reports an error rather than a point."""
        return self.kind == EventKind.error

    @property
    def is_end(self) -> bool:
        """Whether it is the end of the module's API thread, the last event of a run."""
        return self.is_error and self.value == Result.ApiThreadStopped

    def __repr__(self) -> str:
        if self.is_error:
            what = f"{event_kind_name(self.kind)} {self.value}: {result_message(self.value)}"
        else:
            what = f"{io_type_name(self.type)}[{self.index}] = {self.value}"
        return f"Event(#{self.sequence} {what}{', initial' if self.initial else ''})"


class PointValue(NamedTuple):
    """One point and its value, as Device.values() gives them and set_values() takes them
    (plain (type, index, value) tuples do as well)."""

    type: IoType
    index: int
    value: int


@dataclass(frozen=True, repr=False)
class ModuleInfo:
    """An attached module as the system lists it, found without opening it: location is the
    key of the USB ports on the way to it, the same in both modes; path the system's device
    path."""

    serial: str
    mode: Mode
    product_string: str
    location: str
    path: str

    def __repr__(self) -> str:
        return (f"ModuleInfo({self.serial} {Mode(self.mode).name} at {self.location}, "
                f"{self.product_string!r}, {self.path})")


@dataclass(frozen=True, repr=False)
class HotplugEvent:
    """A module arriving (arrived) or leaving, as Monitor reports it. A module that changes
    mode leaves in one and arrives in the other. initial: attached already when the monitor
    started. timestamp as Event's."""

    arrived: bool
    module: ModuleInfo
    timestamp: float = 0.0
    initial: bool = False

    def __repr__(self) -> str:
        what = "arrived" if self.arrived else "left"
        return (f"HotplugEvent({what} {self.module.serial} {Mode(self.module.mode).name}"
                f"{', initial' if self.initial else ''})")


def _module_info(raw: Tuple[str, int, str, str, str]) -> ModuleInfo:
    serial, mode, product_string, location, path = raw
    return ModuleInfo(serial, Mode(mode), product_string, location, path)


def serials(mode: Mode = Mode.either) -> List[str]:
    """Serial numbers of the attached modules in that mode, in physical order, each once,
    without opening them."""
    return _tavrik.serials(_tavrik.Mode(int(mode)))


def attached_modules() -> List[ModuleInfo]:
    """The attached modules in both modes, in physical order, without opening any and without
    touching tavrik.ini: safe beside tavrikd, the tools and an upgrade. A module that also
    shows its bootloader is listed once, in application mode."""
    return [_module_info(raw) for raw in _tavrik.attached_modules()]


PointValues = Iterable[Union[PointValue, Tuple[int, int, int]]]


async def _readable(fd: int) -> None:
    """Returns once fd polls readable, without blocking the event loop."""
    loop = asyncio.get_running_loop()
    ready = loop.create_future()
    # Level-triggered: the callback may run again before this task resumes.
    loop.add_reader(fd, lambda: ready.done() or ready.set_result(None))
    try:
        await ready
    finally:
        loop.remove_reader(fd)


class Device:
    """One module, opened and started on construction, closed by close() or a with block.

    Its events wait in the library's queue, of at most event_queue_capacity events
    (EVENT_QUEUE_LIMIT, 1024, unless told), until events(), read_event() or events_async()
    takes them. When nobody takes them and the queue is full, each new event pushes out the
    oldest, so the newest values are always kept, and dropped counts those pushed out."""

    def __init__(self, serial: str, event_queue_capacity: int = EVENT_QUEUE_LIMIT):
        """Opens the module with this serial and starts its API thread. Raises BusyError
        when another program uses it, NotFoundError when there is none."""
        self._device = _tavrik._Device(serial, event_queue_capacity)
        self._opened = f"{self._device.serial} {self._device.name!r}"  # gone once closed

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: object) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        status = self._device.status
        state = ("closed" if status == Result.DeviceNotOpen
                 else "open" if status == Result.Ok else "stopped")
        via = ", via service" if self.via_service else ""
        return f"<tavrik.Device {self._opened} {state}{via}>"

    def close(self) -> None:
        """Stops the module's API thread and closes it; safe to call again. The events still
        queued can be read after it, the end event last."""
        self._device.close()

    def value(self, type: IoType, index: int) -> int:
        """The value of a point, as last exchanged with the module."""
        return self._device.value(int(type), index)

    def set(self, type: IoType, index: int, value: int, wait: bool = True,
            timeout: float = 4.0) -> None:
        """Sets a writable point. With wait, returns once the module has taken the value,
        and raises TimeoutError when it did not within timeout seconds. A timeout below 0 or
        NaN raises ValueError, one above MAX_TIMEOUT OverflowError, and the point stays as it
        was."""
        self._device.set(int(type), index, value, wait, timeout)

    def values(self) -> List[PointValue]:
        """Every point of every type, in type and index order, read at one moment: no
        exchange with the module falls between two of them."""
        return [PointValue(IoType(t), i, v) for t, i, v in self._device.values()]

    def set_values(self, values: PointValues, wait: bool = True, timeout: float = 4.0) -> None:
        """Sets several writable points, (type, index, value) each, so that one exchange
        carries them all. Each is checked as set() checks it; only when all pass are they
        set, else the first failure raises and nothing is set. wait and timeout as set()'s."""
        self._device.set_values(_point_tuples(values), wait, timeout)

    async def set_async(self, type: IoType, index: int, value: int,
                        timeout: float = 4.0) -> None:
        """set() that waits for the module in an executor, without blocking the event loop.
        A cancelled wait goes on in its thread for at most timeout seconds."""
        self._device.set(int(type), index, value, False, timeout)
        await self._wait_async(timeout)

    async def set_values_async(self, values: PointValues, timeout: float = 4.0) -> None:
        """set_values() that waits for the module as set_async() does."""
        self._device.set_values(_point_tuples(values), False, timeout)
        await self._wait_async(timeout)

    async def _wait_async(self, timeout: float) -> None:
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self._device.wait_for_exchange, timeout)

    def count(self, type: IoType) -> int:
        """The number of points of a type (0 when the module has none)."""
        return self._device.count(int(type))

    def is_relay(self, type: IoType, index: int) -> bool:
        """Whether an output is a relay."""
        return self._device.is_relay(int(type), index)

    def read_event(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The oldest queued event, waiting up to timeout seconds (None: without end) for
        one; None when none came. Raises ClosedError once the device is closed and its queue
        is empty."""
        raw = self._device.read_event(timeout)
        return None if raw is None else Event(EventKind(raw[0]), *raw[1:])

    def events(self, timeout: float = 1.0) -> Iterator[Event]:
        """Yields the module's events (changes of points that are not writable, and errors)
        until none has come for timeout seconds, or until the end of its API thread or its
        closing. A timeout below 0 or NaN raises ValueError, one above MAX_TIMEOUT
        OverflowError."""
        while True:
            try:
                event = self.read_event(timeout)
            except ClosedError:
                return
            if event is None:
                return
            yield event
            if event.is_end:
                return

    async def events_async(self) -> AsyncIterator[Event]:
        """Yields the module's events in asyncio, waking on fileno(), until the end of its
        API thread or its closing."""
        while True:
            try:
                event = self.read_event(0)
            except ClosedError:
                return
            if event is None:
                await _readable(self.fileno())
                continue
            yield event
            if event.is_end:
                return

    def fileno(self) -> int:
        """A descriptor that polls readable while an event waits, and once the device is
        closed; only reading the events empties it: do not read it yourself."""
        return self._device.event_fd

    @property
    def event_fd(self) -> int:
        """The same as fileno()."""
        return self._device.event_fd

    @property
    def dropped(self) -> int:
        """How many events the full queue has pushed out since the module was opened."""
        return self._device.dropped

    @property
    def running(self) -> bool:
        """Whether the module's API thread still runs (it stops on a failure)."""
        return self._device.status == Result.Ok

    @property
    def via_service(self) -> bool:
        """Whether the module is reached through tavrikd, which holds it."""
        return self._device.via_service

    @property
    def name(self) -> str:
        """The module's name: from tavrik.ini, the module, or its product string."""
        return self._device.name

    @property
    def serial(self) -> str:
        """The module's serial number."""
        return self._device.serial

    @property
    def type_text(self) -> str:
        """The module's type, as it reports it ("TIO-8")."""
        return self._device.type_text

    @property
    def firmware_version(self) -> str:
        """The version of the module's firmware."""
        return self._device.firmware_version

    @property
    def hardware_version(self) -> str:
        """The module's hardware version."""
        return self._device.hardware_version

    @property
    def index(self) -> int:
        """The module's index in tavrik.ini; -1 for none."""
        return self._device.index

    @property
    def watchdog_time(self) -> int:
        """Seconds since 1970 (UTC); 0 for none."""
        return self._device.watchdog_time


def _point_tuples(values: PointValues) -> List[Tuple[int, int, int]]:
    return [(int(t), i, v) for t, i, v in values]


def _scan_interval_ms(seconds: Optional[float]) -> int:
    if seconds is None:
        return 0
    if math.isnan(seconds) or seconds <= 0:
        raise ValueError(f"scan_interval must be more than 0 seconds, not {seconds!r}")
    if seconds > MAX_TIMEOUT:
        raise OverflowError(
            f"scan_interval must be at most {MAX_TIMEOUT} seconds, not {seconds!r}")
    return math.ceil(seconds * 1000)


class Monitor:
    """Watches modules arrive and leave, without opening them; a context manager that
    starts and stops it. The modules attached at the start come first, as initial arrivals.
    It also scans every scan_interval seconds (2 unless told), which is all it has where
    udev does not reach. Where tavrikd runs, a module in its application arrives once the
    service serves it and leaves when it no longer does, so that opening it on arrival goes
    through the service."""

    def __init__(self, scan_interval: Optional[float] = None):
        """scan_interval: seconds between scans besides udev's reports; above 0."""
        self._monitor = _tavrik._Monitor(_scan_interval_ms(scan_interval))

    def __enter__(self) -> "Monitor":
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> bool:
        self.stop()
        return False

    def start(self) -> None:
        """Starts watching; safe on a started monitor."""
        self._monitor.start()

    def stop(self) -> None:
        """Stops watching and drops what was not read; iterations end."""
        self._monitor.stop()

    def fileno(self) -> int:
        """A descriptor that polls readable while a report waits, and while stopped."""
        return self._monitor.fd

    def read(self, timeout: Optional[float] = None) -> Optional[HotplugEvent]:
        """The oldest report, waiting up to timeout seconds (None: without end); None when
        none came. Raises ClosedError when the monitor is not started."""
        raw = self._monitor.read(timeout)
        if raw is None:
            return None
        arrived, module, timestamp, initial = raw
        return HotplugEvent(arrived, _module_info(module), timestamp, initial)

    def __iter__(self) -> Iterator[HotplugEvent]:
        """Yields the reports until the monitor is stopped."""
        while True:
            try:
                change = self.read(None)
            except ClosedError:
                return
            if change is not None:
                yield change

    async def changes_async(self) -> AsyncIterator[HotplugEvent]:
        """Yields the reports in asyncio, waking on fileno(), until the monitor is
        stopped."""
        while True:
            try:
                change = self.read(0)
            except ClosedError:
                return
            if change is None:
                await _readable(self.fileno())
            else:
                yield change


def program(hex_file: str, serial: str,
            progress: Optional[Callable[[int], object]] = None) -> None:
    """Upgrades a module's firmware from an Intel HEX file, as tavrik_program -p does.
    progress(percent) is called after each programmed frame. Raises NotFoundError when no
    module with that serial reaches its bootloader, TimeoutError when the bootloader does not
    answer, FirmwareError for the other failures; code is a BootloaderResult.

    An exception from progress, a KeyboardInterrupt from Ctrl-C too, does not stop the
    upgrade half way, which would leave the module in its bootloader: progress is not called
    again, the upgrade runs to its end, and then that exception is raised, with a note when
    the upgrade failed as well. Without progress, Ctrl-C takes effect once the upgrade is
    over."""
    _tavrik.program(hex_file, serial, progress)
