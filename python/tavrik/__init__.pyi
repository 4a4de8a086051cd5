from dataclasses import dataclass
from enum import IntEnum
from typing import Callable, Iterator, List, Optional

__version__: str
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

EVENT_QUEUE_LIMIT: int
MAX_TIMEOUT: int

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

class Mode(IntEnum):
    application = 0
    bootloader = 1
    either = 2

@dataclass(frozen=True, repr=False)
class Event:
    kind: int
    type: int
    index: int
    value: int
    @property
    def is_error(self) -> bool: ...

class Error(Exception):
    code: int
    message: str
    def __init__(self, code: int, message: str) -> None: ...

class Device:
    def __init__(self, serial: str) -> None: ...
    def __enter__(self) -> Device: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def close(self) -> None: ...
    def value(self, type: IoType, index: int) -> int: ...
    def set(self, type: IoType, index: int, value: int, wait: bool = ..., timeout: float = ...) -> None: ...
    def count(self, type: IoType) -> int: ...
    def is_relay(self, type: IoType, index: int) -> bool: ...
    def events(self, timeout: float = ...) -> Iterator[Event]: ...
    @property
    def dropped(self) -> int: ...
    @property
    def running(self) -> bool: ...
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

def devices() -> List[str]: ...
def serials(mode: Mode = ...) -> List[str]: ...
def result_message(code: int) -> str: ...
def io_type_name(type: int) -> str: ...
def is_writable(type: int) -> bool: ...
def program(hex_file: str, serial: str, progress: Optional[Callable[[int], object]] = ...) -> None: ...
