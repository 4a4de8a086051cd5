import builtins
from dataclasses import dataclass
from enum import IntEnum
from typing import (AsyncIterator, Callable, Iterable, Iterator, List, NamedTuple, Optional,
                    Tuple, Union)

__version__: str
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

EVENT_QUEUE_LIMIT: int
MAX_TIMEOUT: int
POE_CLASS_MASK: int
POE_STATUS_FLAGS: Tuple[Tuple[int, str], ...]

class IoType(IntEnum):
    inputs = 0
    outputs = 1
    buttons = 2
    psalarms = 3
    raidleds = 4
    watchdog = 5
    poe_enable = 6
    poe_reset = 7
    poe_status = 8
    poe_voltage = 9
    poe_current = 10
    poe_temperature = 11
    poe_maxpower = 12

class EventKind(IntEnum):
    error = 0
    io = 1

class Mode(IntEnum):
    application = 0
    bootloader = 1
    either = 2

class Result(IntEnum):
    Ok = 0
    DeviceBusy = -1
    MessageSizeInvalid = -2
    MessageMissingPreamble = -3
    ParameterCountMismatch = -4
    ParameterTypeMismatch = -5
    MessageCrcInvalid = -6
    IoPointOutOfRange = -7
    CommandInvalid = -8
    I2cTimeout = -9
    IoExpanderMismatch = -10
    InvalidParameterValue = -11
    UsbProtocolError = -12
    FlashError = -13
    WatchdogReset = -14
    ApiThreadStopped = -100
    UnableToOpenDevice = -101
    DeviceNotOpen = -102
    CommunicationTimeout = -103
    ConfigFileFailed = -104

class BootloaderResult(IntEnum):
    BootOk = 0
    BootDeviceNotFound = -1
    BootDeviceNotOpen = -2
    BootInvalidHexFile = -3
    BootVerifyFailed = -4
    BootUnexpectedReply = -5
    BootWriteFailed = -6
    BootReadFailed = -7

class Error(Exception):
    code: int
    message: str
    def __init__(self, code: int, message: str) -> None: ...

class BusyError(Error): ...
class NotFoundError(Error): ...
class TimeoutError(Error, builtins.TimeoutError): ...
class PermissionError(Error, builtins.PermissionError): ...
class ClosedError(Error): ...
class FirmwareError(Error): ...

@dataclass(frozen=True, repr=False)
class Event:
    kind: int
    type: int
    index: int
    value: int
    sequence: int = ...
    timestamp: float = ...
    initial: bool = ...
    @property
    def is_error(self) -> bool: ...
    @property
    def is_end(self) -> bool: ...

class PointValue(NamedTuple):
    type: IoType
    index: int  # type: ignore[assignment]  # the point's, over tuple.index
    value: int

@dataclass(frozen=True, repr=False)
class ModuleInfo:
    serial: str
    mode: Mode
    product_string: str
    location: str
    path: str

@dataclass(frozen=True, repr=False)
class HotplugEvent:
    arrived: bool
    module: ModuleInfo
    timestamp: float = ...
    initial: bool = ...

PointValues = Iterable[Union[PointValue, Tuple[int, int, int]]]

class Device:
    def __init__(self, serial: str, event_queue_capacity: int = ...) -> None: ...
    def __enter__(self) -> Device: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def close(self) -> None: ...
    def value(self, type: IoType, index: int) -> int: ...
    def set(self, type: IoType, index: int, value: int, wait: bool = ..., timeout: float = ...) -> None: ...
    def values(self) -> List[PointValue]: ...
    def set_values(self, values: PointValues, wait: bool = ..., timeout: float = ...) -> None: ...
    async def set_async(self, type: IoType, index: int, value: int, timeout: float = ...) -> None: ...
    async def set_values_async(self, values: PointValues, timeout: float = ...) -> None: ...
    def count(self, type: IoType) -> int: ...
    def is_relay(self, type: IoType, index: int) -> bool: ...
    def read_event(self, timeout: Optional[float] = ...) -> Optional[Event]: ...
    def events(self, timeout: float = ...) -> Iterator[Event]: ...
    def events_async(self) -> AsyncIterator[Event]: ...
    def fileno(self) -> int: ...
    @property
    def event_fd(self) -> int: ...
    @property
    def dropped(self) -> int: ...
    @property
    def running(self) -> bool: ...
    @property
    def via_service(self) -> bool: ...
    @property
    def name(self) -> str: ...
    @property
    def serial(self) -> str: ...
    @property
    def type_text(self) -> str: ...
    @property
    def firmware_version(self) -> str: ...
    @property
    def hardware_version(self) -> str: ...
    @property
    def index(self) -> int: ...
    @property
    def watchdog_time(self) -> int: ...

class Monitor:
    def __init__(self, scan_interval: Optional[float] = ...) -> None: ...
    def __enter__(self) -> Monitor: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def fileno(self) -> int: ...
    def read(self, timeout: Optional[float] = ...) -> Optional[HotplugEvent]: ...
    def __iter__(self) -> Iterator[HotplugEvent]: ...
    def changes_async(self) -> AsyncIterator[HotplugEvent]: ...

def devices() -> List[str]: ...
def serials(mode: Mode = ...) -> List[str]: ...
def attached_modules() -> List[ModuleInfo]: ...
def result_message(code: int) -> str: ...
def point_result_message(code: int, type: int, index: int) -> str: ...
def library_version() -> str: ...
def io_type_name(type: int) -> str: ...
def is_writable(type: int) -> bool: ...
def event_kind_name(kind: int) -> str: ...
def poe_class(word: int) -> int: ...
def poe_flags(word: int) -> List[str]: ...
def program(hex_file: str, serial: str, progress: Optional[Callable[[int], object]] = ...) -> None: ...
