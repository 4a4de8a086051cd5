// The test build of tavrik._tavrik: the same module over the virtual module bus, with the bus
// itself in tavrik._tavrik._bus so that tests can act as the module.
#include <pybind11/pybind11.h>

#include "hid_backend.h"
#include "virtual_module.h"

namespace tavrik::python {
void defineModule(pybind11::module_& m);
}

namespace {

tavrik::virt::VirtualBus& bus() {
    return static_cast<tavrik::virt::VirtualBus&>(tavrik::hid::defaultBackend());
}

}  // namespace

PYBIND11_MODULE(_tavrik, m) {
    tavrik::python::defineModule(m);
    pybind11::module_ b = m.def_submodule("_bus", "the virtual module bus of this test build");
    // The module's own value of a point, as the host reads it.
    b.def("point", [](size_t module, uint32_t type, uint32_t index) {
        return bus().withModule(
            module, [&](const tavrik::virt::VirtualModule& v) { return v.point(type, index); });
    });
    // Changes an input on the module, which reports it with a state event.
    b.def("set_point", [](size_t module, uint32_t type, uint32_t index, int32_t value) {
        bus().setPoint(module, type, index, value, true);
    });
    b.def("unplug", [](size_t module) { bus().unplug(module); });
    // Back on the bus as it was, under a new path.
    b.def("plug", [](size_t module) { bus().plug(module); });
    // How many application requests the module has received.
    b.def("requests", [](size_t module) {
        return bus().withModule(
            module, [](const tavrik::virt::VirtualModule& v) { return v.requests().size(); });
    });
}
