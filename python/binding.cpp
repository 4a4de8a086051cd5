// The Python module tavrik._tavrik over the library's public API. Failures become tavrik.Error;
// events are queued on the API thread and taken by Python with the GIL held, so no Python code
// runs on the API thread.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "tavrik/tavrik.h"

namespace py = pybind11;

namespace tavrik::python {

namespace {

// How often a wait for events looks for a KeyboardInterrupt.
constexpr auto kSignalCheck = std::chrono::milliseconds(50);

std::string programResultMessage(int code) {
    switch (code) {
        case BootDeviceNotFound:
            return "no module with that serial number in its bootloader";
        case BootDeviceNotOpen:
            return "the module went away";
        case BootInvalidHexFile:
            return "not a valid hex file";
        case BootVerifyFailed:
            return "the flash CRC differs from the file's";
        case BootUnexpectedReply:
            return "unexpected reply from the bootloader";
        case BootWriteFailed:
            return "report write failed";
        case BootReadFailed:
            return "report read failed or timed out";
        default:
            return "firmware upgrade failed";
    }
}

// Calls tavrik.Error(code, message).
[[noreturn]] void raise(int code, const std::string& message) {
    py::object error = py::module_::import("tavrik").attr("Error");
    PyErr_SetObject(error.ptr(), py::make_tuple(code, message).ptr());
    throw py::error_already_set();
}

void check(int result) {
    if (result != Ok) {
        raise(result, resultMessage(result));
    }
}

// Events from the API thread, waiting for Python.
class EventQueue {
  public:
    void push(const Event& event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
        }
        ready_.notify_one();
    }

    // The next event, or none after timeoutSeconds. Waits without the GIL, and lets a
    // KeyboardInterrupt through while it waits.
    std::optional<Event> pop(double timeoutSeconds) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(timeoutSeconds));
        for (;;) {
            {
                py::gil_scoped_release unlocked;
                std::unique_lock<std::mutex> lock(mutex_);
                const auto until =
                    std::min(deadline, std::chrono::steady_clock::now() + kSignalCheck);
                ready_.wait_until(lock, until, [this] { return !events_.empty(); });
                if (!events_.empty()) {
                    const Event event = events_.front();
                    events_.pop_front();
                    return event;
                }
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;
};

// A module opened and started for Python.
class PyDevice {
  public:
    explicit PyDevice(const std::string& serial) {
        device_.setEventCallback([this](const Event& event) { queue_.push(event); });
        int result = device_.open(serial);
        if (result == Ok) {
            result = device_.start();
        }
        if (result != Ok) {
            device_.close();
            raise(result, serial + ": " + resultMessage(result));
        }
    }

    void close() {
        py::gil_scoped_release unlocked;  // the API thread may be delivering an event
        device_.close();
    }

    int value(uint32_t type, int32_t index) {
        const int v = device_.value(type, index);
        if (v < 0) {
            raise(v, resultMessage(v));
        }
        return v;
    }

    void set(uint32_t type, int32_t index, int32_t value, bool wait, double timeoutSeconds) {
        check(device_.setValue(type, index, value));
        if (wait) {
            py::gil_scoped_release unlocked;
            const int result = device_.waitForExchange(static_cast<int>(timeoutSeconds * 1000));
            py::gil_scoped_acquire locked;
            check(result);
        }
    }

    std::optional<Event> nextEvent(double timeoutSeconds) { return queue_.pop(timeoutSeconds); }

    Device& device() { return device_; }

  private:
    EventQueue queue_;  // outlives the device, whose API thread pushes to it
    Device device_;
};

int program(const std::string& hexFile, const std::string& serial,
            const std::function<void(int)>& progress) {
    std::function<void(int)> report;
    if (progress) {
        // Called on this thread, inside the upgrade, which runs without the GIL.
        report = [&progress](int percent) {
            py::gil_scoped_acquire locked;
            progress(percent);
        };
    }
    int result;
    {
        py::gil_scoped_release unlocked;
        result = programFirmware(hexFile, serial, report);
    }
    if (result != BootOk) {
        raise(result, programResultMessage(result));
    }
    return result;
}

}  // namespace

void defineModule(py::module_& m) {
    m.doc() = "Tavrik IO modules: device list, IO points, events and firmware upgrade";
    m.attr("__version__") = TAVRIK_VERSION;

    py::enum_<TavrikIoType>(m, "IoType")
        .value("inputs", Inputs)
        .value("outputs", Outputs)
        .value("buttons", Buttons)
        .value("psalarms", PsAlarms)
        .value("raidleds", RaidLeds)
        .value("watchdog", Watchdog)
        .value("poe_enable", PoeEnable)
        .value("poe_reset", PoeReset)
        .value("poe_status", PoeStatus)
        .value("poe_voltage", PoeVoltage)
        .value("poe_current", PoeCurrent)
        .value("poe_temperature", PoeTemperature)
        .value("poe_maxpower", PoeMaxPower);

    py::enum_<Mode>(m, "Mode")
        .value("application", Mode::Application)
        .value("bootloader", Mode::Bootloader)
        .value("either", Mode::Either);

    py::class_<Event>(m, "Event")
        .def_readonly("kind", &Event::kind)
        .def_readonly("type", &Event::type)
        .def_readonly("index", &Event::index)
        .def_readonly("value", &Event::value)
        .def_property_readonly("is_error", [](const Event& e) { return e.kind == Event::Error; })
        .def("__repr__", [](const Event& e) {
            if (e.kind == Event::Error) {
                return "Event(error " + std::to_string(e.value) + ": " + resultMessage(e.value) +
                       ")";
            }
            return "Event(" + ioTypeName(e.type) + "[" + std::to_string(e.index) +
                   "] = " + std::to_string(e.value) + ")";
        });

    m.def("result_message", &resultMessage, py::arg("code"));
    m.def("io_type_name", &ioTypeName, py::arg("type"));
    m.def("is_writable", &isWritableType, py::arg("type"));
    m.def("devices", [] {
        py::gil_scoped_release unlocked;
        return devices();
    });
    m.def(
        "serials",
        [](Mode mode) {
            py::gil_scoped_release unlocked;
            return serials(mode);
        },
        py::arg("mode") = Mode::Either);
    m.def("program", &program, py::arg("hex_file"), py::arg("serial"),
          py::arg("progress") = nullptr);

    py::class_<PyDevice>(m, "_Device")
        .def(py::init<const std::string&>(), py::arg("serial"))
        .def("close", &PyDevice::close)
        .def("value", &PyDevice::value, py::arg("type"), py::arg("index"))
        .def("set", &PyDevice::set, py::arg("type"), py::arg("index"), py::arg("value"),
             py::arg("wait"), py::arg("timeout"))
        .def("count", [](PyDevice& d, uint32_t type) { return d.device().pointCount(type); })
        .def("is_relay", [](PyDevice& d, uint32_t type,
                            int32_t index) { return d.device().isRelay(type, index); })
        .def("next_event", &PyDevice::nextEvent, py::arg("timeout"))
        .def_property_readonly("name", [](PyDevice& d) { return d.device().name(); })
        .def_property_readonly("serial", [](PyDevice& d) { return d.device().serial(); })
        .def_property_readonly("type_text", [](PyDevice& d) { return d.device().typeText(); })
        .def_property_readonly("firmware_version",
                               [](PyDevice& d) { return d.device().firmwareVersion(); })
        .def_property_readonly("hardware_version",
                               [](PyDevice& d) { return d.device().hardwareVersion(); })
        .def_property_readonly("index", [](PyDevice& d) { return d.device().configIndex(); })
        .def_property_readonly("watchdog_time",
                               [](PyDevice& d) { return d.device().watchdogTime(); })
        .def_property_readonly("running", [](PyDevice& d) { return d.device().status() == Ok; });
}

}  // namespace tavrik::python
