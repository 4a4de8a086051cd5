# The exceptions: one base with the library's code and message, a class for each kind of
# failure, and the library's messages.
import builtins
import pickle

import pytest

import tavrik
from tavrik import BootloaderResult, IoType, Result

CLASSES = [
    (tavrik.BusyError, ()),
    (tavrik.NotFoundError, ()),
    (tavrik.TimeoutError, (builtins.TimeoutError,)),
    (tavrik.PermissionError, (builtins.PermissionError,)),
    (tavrik.ClosedError, ()),
    (tavrik.FirmwareError, ()),
]


@pytest.mark.parametrize("cls, builtin_bases", CLASSES)
def test_every_class_is_an_error_that_pickles(cls, builtin_bases):
    assert issubclass(cls, tavrik.Error)
    assert all(issubclass(cls, base) for base in builtin_bases)
    error = cls(Result.CommunicationTimeout, "Communication timeout")
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls
    assert (copy.code, copy.message, str(copy)) == (
        Result.CommunicationTimeout, "Communication timeout", "Communication timeout (-103)")


@pytest.mark.parametrize("code, message", [
    (Result.Ok, "No Error"),
    (Result.DeviceBusy, "Device is busy"),
    (-3, "Message missing preamble"),
    (BootloaderResult.BootInvalidHexFile, "Not a valid hex file"),
    (BootloaderResult.BootOk, "No Error"),
    (Result.WatchdogReset, "Watchdog reset occured"),
    (-99, "Unknown Error"),
])
def test_messages_are_the_librarys(code, message):
    assert tavrik.result_message(code) == message


def test_point_message_names_the_point():
    assert (tavrik.point_result_message(Result.IoPointOutOfRange, IoType.outputs, 7)
            == "IO point number outside range: outputs 7")


@pytest.mark.parametrize("serial, cls, code", [
    ("P-BUSY", tavrik.BusyError, Result.DeviceBusy),
    ("NO-SUCH-MODULE", tavrik.NotFoundError, Result.UnableToOpenDevice),
])
def test_open_errors_raise_by_kind(serial, cls, code):
    with pytest.raises(cls) as raised:
        tavrik.Device(serial)
    assert raised.value.code is code
    assert str(raised.value) == f"{serial}: {tavrik.result_message(code)} ({int(code)})"


POINT_ERRORS = [
    (lambda dev: dev.value(IoType.inputs, 99), -7, "IO point number outside range: inputs 99"),
    (lambda dev: dev.value(IoType.outputs, -1), -7, "IO point number outside range: outputs -1"),
    (lambda dev: dev.set(IoType.inputs, 0, 1), -11, "invalid parameter value: inputs 0"),
    (lambda dev: dev.set(IoType.outputs, 7, 1), -7, "IO point number outside range: outputs 7"),
    (lambda dev: dev.set(IoType.watchdog, 0, 0x10000), -11, "invalid parameter value: watchdog 0"),
    # One of several: nothing is set, and the failure is the first's.
    (lambda dev: dev.set_values([(IoType.outputs, 0, 1), (IoType.outputs, 9, 1)]), -7,
     "IO point number outside range"),
    (lambda dev: dev.set_values([(IoType.outputs, -1, 1)]), -7, "IO point number outside range"),
    (lambda dev: dev.set_values([(IoType.inputs, 0, 1)]), -11, "invalid parameter value"),
]


@pytest.mark.parametrize("action, code, message", POINT_ERRORS)
def test_point_errors_raise_with_code_and_message(action, code, message):
    with tavrik.Device("P-VALUES") as dev:
        before = dev.values()
        with pytest.raises(tavrik.Error) as raised:
            action(dev)
        assert type(raised.value) is tavrik.Error
        assert (raised.value.code, raised.value.message) == (code, message)
        assert dev.values() == before


@pytest.mark.parametrize("action", [
    lambda dev: dev.value(IoType.inputs, 0),
    lambda dev: dev.set(IoType.outputs, 0, 1),
    lambda dev: dev.values(),
    lambda dev: dev.read_event(0),
])
def test_a_closed_device_raises_closed_error(action):
    dev = tavrik.Device("P-CLOSE")
    dev.close()
    list(dev.events(timeout=0))  # what was left, up to the end
    with pytest.raises(tavrik.ClosedError) as raised:
        action(dev)
    assert raised.value.code is Result.DeviceNotOpen


def test_a_monitor_not_started_raises_closed_error():
    with pytest.raises(tavrik.ClosedError):
        tavrik.Monitor().read(0)
