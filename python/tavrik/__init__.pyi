from enum import IntEnum
from typing import Callable, Iterator, List, Optional

__version__: str

class IoType(IntEnum):
    inputs: int
    outputs: int
    buttons: int
    psalarms: int
    raidleds: int
    watchdog: int
    poe_enable: int
    poe_reset: int
    poe_status: int
    poe_voltage: int
    poe_current: int
    poe_temperature: int
    poe_maxpower: int

class Mode(IntEnum):
    application: int
    bootloader: int
    either: int

class Event:
    kind: int
    type: int
    index: int
    value: int
    is_error: bool

class Error(Exception):
    code: int
    message: str
    def __init__(self, code: int, message: str) -> None: ...

class Device:
    name: str
    serial: str
    type_text: str
    firmware_version: str
    hardware_version: str
    index: int
    watchdog_time: int
    running: bool
    def __init__(self, serial: str) -> None: ...
    def __enter__(self) -> Device: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def close(self) -> None: ...
    def value(self, type: IoType, index: int) -> int: ...
    def set(self, type: IoType, index: int, value: int, wait: bool = ..., timeout: float = ...) -> None: ...
    def count(self, type: IoType) -> int: ...
    def is_relay(self, type: IoType, index: int) -> bool: ...
    def events(self, timeout: float = ...) -> Iterator[Event]: ...

def devices() -> List[str]: ...
def serials(mode: Mode = ...) -> List[str]: ...
def result_message(code: int) -> str: ...
def io_type_name(type: int) -> str: ...
def is_writable(type: int) -> bool: ...
def program(hex_file: str, serial: str, progress: Optional[Callable[[int], None]] = ...) -> None: ...
