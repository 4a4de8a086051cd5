# The module lists, and the names and constants the package takes from the library.
import enum
import pickle

import pytest

import tavrik
from tavrik import IoType, Mode
from tavrik._tavrik import _bus

from conftest import in_process, module


def test_lists_the_modules_in_either_mode():
    listed = tavrik.devices()
    assert listed[:2] == ["P-VALUES", "P-SET"]
    assert "P-BUSY" in listed  # in use elsewhere, but attached
    assert "P-BOOT" not in listed  # in its bootloader
    assert set(tavrik.serials(Mode.either)) >= {"P-VALUES", "P-FW", "P-BOOT"}
    assert tavrik.serials(Mode.bootloader) == ["P-BOOT"]


def test_attached_modules_in_physical_order_with_their_mode():
    attached = tavrik.attached_modules()
    assert [m.serial for m in attached] == tavrik.serials(Mode.either)
    by_serial = {m.serial: m for m in attached}
    assert by_serial["P-BOOT"].mode is Mode.bootloader
    values = by_serial["P-VALUES"]
    assert (values.mode, values.product_string, values.location) == (
        Mode.application, "Tavrik IO", "1-1")
    assert values.path and values.path != by_serial["P-SET"].path


@in_process
def test_attached_modules_leave_out_an_unplugged_module():
    boot = module("P-BOOT")
    _bus.unplug(boot)
    try:
        assert "P-BOOT" not in [m.serial for m in tavrik.attached_modules()]
    finally:
        _bus.plug(boot)
    assert "P-BOOT" in [m.serial for m in tavrik.attached_modules()]


@pytest.mark.parametrize("enum_type, first", [
    (IoType, ("inputs", 0)),
    (tavrik.Mode, ("application", 0)),
    (tavrik.EventKind, ("error", 0)),
    (tavrik.Result, ("Ok", 0)),
    (tavrik.BootloaderResult, ("BootOk", 0)),
])
def test_enums_are_int_enums(enum_type, first):
    assert issubclass(enum_type, enum.IntEnum)
    member = next(iter(enum_type))
    assert (member.name, member.value) == first
    assert pickle.loads(pickle.dumps(member)) is member


def test_names_come_from_the_library():
    assert [t.name for t in IoType] == [tavrik.io_type_name(t) for t in range(13)]
    assert IoType(12) is IoType.poe_maxpower and IoType.poe_maxpower.name == "poe_maxpower"
    assert [k.name for k in tavrik.EventKind] == ["error", "io"]
    assert tavrik.event_kind_name(7) == "unknown"
    assert tavrik.io_type_name(13) == "Unknown IO Type"
    assert tavrik.Result.CommunicationTimeout == -103
    assert tavrik.BootloaderResult.BootReadFailed == -7


@pytest.mark.parametrize("word, poe_class, flags", [
    (0x69, 1, ["enabled", "present", "powered"]),
    (0xF00, 0, ["overcurrent", "overpower", "undervoltage", "overtemp"]),
    (0xF000, 0, []),  # bits 12 to 15 mean nothing
    (0x07, 7, []),
])
def test_poe_status_words(word, poe_class, flags):
    assert tavrik.poe_class(word) == poe_class
    assert tavrik.poe_flags(word) == flags


def test_version_is_the_librarys():
    assert tavrik.__version__ == tavrik.library_version()
    assert tavrik.__version__.count(".") == 2


def test_module_info_compares_pickles_and_shows_itself():
    info = next(m for m in tavrik.attached_modules() if m.serial == "P-BOOT")
    assert pickle.loads(pickle.dumps(info)) == info
    assert info == tavrik.ModuleInfo(*vars(info).values())
    assert repr(info).startswith("ModuleInfo(P-BOOT bootloader at 2-2, 'Tavrik IO', ")

