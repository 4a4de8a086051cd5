# The firmware upgrade: progress, the failures by kind, and an interrupted progress.
import os
import signal

import pytest

import tavrik
from tavrik import BootloaderResult, Mode

from conftest import wait_until

HEX = os.environ["TAVRIK_PYTHON_HEX"]


def back_in_application(serial):
    wait_until(lambda: serial in tavrik.serials(Mode.application), 10.0,
               "the module's return to its application")
    assert serial not in tavrik.serials(Mode.bootloader)


def test_firmware_upgrade_reports_progress():
    progress = []
    tavrik.program(HEX, "P-FW", progress.append)
    assert progress and progress[-1] == 100
    assert progress == sorted(progress)
    back_in_application("P-FW")


def bad_file(tmp_path):
    bad = tmp_path / "bad.hex"
    bad.write_text("not a hex file\n")
    return str(bad)


@pytest.mark.parametrize("hex_file, serial, cls, code", [
    (bad_file, "P-FW", tavrik.FirmwareError, BootloaderResult.BootInvalidHexFile),
    (lambda tmp_path: str(tmp_path / "missing.hex"), "P-FW", tavrik.FirmwareError,
     BootloaderResult.BootInvalidHexFile),
    (lambda tmp_path: HEX, "NO-SUCH-MODULE", tavrik.NotFoundError,
     BootloaderResult.BootDeviceNotFound),
])
def test_firmware_upgrade_failure_raises_by_kind(tmp_path, hex_file, serial, cls, code):
    with pytest.raises(cls) as raised:
        tavrik.program(hex_file(tmp_path), serial)
    assert raised.value.code is code
    assert raised.value.message == tavrik.result_message(code)


def sigint(percent):
    signal.raise_signal(signal.SIGINT)


class Stop(Exception):
    pass


def stop(percent):
    raise Stop(percent)


def keyboard_interrupt(percent):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "fail, error", [(stop, Stop), (keyboard_interrupt, KeyboardInterrupt), (sigint, KeyboardInterrupt)]
)
def test_failing_progress_lets_the_upgrade_finish_then_raises(fail, error):
    calls = []

    def progress(percent):
        calls.append(percent)
        fail(percent)

    with pytest.raises(error):
        tavrik.program(HEX, "P-FW", progress)
    assert len(calls) == 1  # not called again once it raised
    back_in_application("P-FW")
