#include <pybind11/pybind11.h>

namespace tavrik::python {
void defineModule(pybind11::module_& m);
}

PYBIND11_MODULE(_tavrik, m) {
    tavrik::python::defineModule(m);
}
