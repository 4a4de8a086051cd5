// The Python module tavrik._tavrik over the library's public API. Failures become tavrik.Error;
// events are queued on the API thread and taken by Python with the GIL held, so no Python code
// runs on the API thread.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <tuple>

#include "tavrik/tavrik.h"

namespace py = pybind11;

namespace tavrik::python {

namespace {

// How often a wait for events looks for a KeyboardInterrupt.
constexpr auto kSignalCheck = std::chrono::milliseconds(50);

// Events kept for Python; past this the oldest go, so the newest state is always kept.
constexpr size_t kEventQueueLimit = 1024;

// Every timeout is seconds from Python, checked here so that no call below gets a negative
// one, or one too large for waitForExchange's int of milliseconds, which would wrap into a
// deadline in the past.
constexpr int kMaxTimeoutSeconds = INT_MAX / 1000;  // about 24.8 days

int timeoutMs(double seconds) {
    if (std::isnan(seconds) || seconds < 0) {
        throw py::value_error("timeout must be 0 or more seconds, not " +
                              py::repr(py::float_(seconds)).cast<std::string>());
    }
    if (seconds > kMaxTimeoutSeconds) {
        const std::string message = "timeout must be at most " +
                                    std::to_string(kMaxTimeoutSeconds) + " seconds, not " +
                                    py::repr(py::float_(seconds)).cast<std::string>();
        PyErr_SetString(PyExc_OverflowError, message.c_str());
        throw py::error_already_set();
    }
    return static_cast<int>(std::ceil(seconds * 1000.0));  // a tiny positive one still waits
}

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

// Events from the API thread, waiting for Python. Bounded, as nobody may be reading: when
// full, the oldest event goes and is counted.
class EventQueue {
  public:
    void push(const Event& event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (events_.size() >= kEventQueueLimit) {
                events_.pop_front();
                ++dropped_;
            }
            events_.push_back(event);
        }
        ready_.notify_one();
    }

    uint64_t dropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

    // The next event, or none after waitMs. Waits without the GIL, and lets a
    // KeyboardInterrupt through while it waits.
    std::optional<Event> pop(int waitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
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
    uint64_t dropped_ = 0;
};

// A module opened and started for Python.
class PyDevice {
  public:
    // Opening talks to the module for a while: other Python threads run meanwhile.
    explicit PyDevice(const std::string& serial) {
        device_.setEventCallback([this](const Event& event) { queue_.push(event); });
        int result;
        {
            py::gil_scoped_release unlocked;
            result = device_.open(serial);
            if (result == Ok) {
                result = device_.start();
            }
            if (result != Ok) {
                device_.close();
            }
        }
        if (result != Ok) {
            raise(result, serial + ": " + resultMessage(result));
        }
    }

    // Also when Python drops the object without close(): joining the API thread may wait.
    ~PyDevice() {
        py::gil_scoped_release unlocked;
        device_.close();
    }
    PyDevice(const PyDevice&) = delete;
    PyDevice& operator=(const PyDevice&) = delete;

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
        const int ms = timeoutMs(timeoutSeconds);  // before the value is set
        check(device_.setValue(type, index, value));
        if (wait) {
            int result;
            {
                py::gil_scoped_release unlocked;
                result = device_.waitForExchange(ms);
            }
            check(result);
        }
    }

    // (kind, type, index, value), of which the Python layer makes its Event.
    std::optional<std::tuple<int32_t, uint32_t, uint32_t, int32_t>> nextEvent(
        double timeoutSeconds) {
        const std::optional<Event> event = queue_.pop(timeoutMs(timeoutSeconds));
        if (!event) {
            return std::nullopt;
        }
        return std::make_tuple(event->kind, event->type, event->index, event->value);
    }

    uint64_t dropped() { return queue_.dropped(); }

    Device& device() { return device_; }

  private:
    EventQueue queue_;  // outlives the device, whose API thread pushes to it
    Device device_;
};

// An exception from progress (Ctrl-C's KeyboardInterrupt too) must not stop the upgrade half
// way, which would leave the module in its bootloader: the upgrade runs to its end without
// calling progress again, and then the first exception is raised.
int program(const std::string& hexFile, const std::string& serial,
            const std::function<void(int)>& progress) {
    std::exception_ptr failed;
    std::function<void(int)> report;
    if (progress) {
        // Called on this thread, inside the upgrade, which runs without the GIL.
        report = [&progress, &failed](int percent) {
            if (failed) {
                return;
            }
            py::gil_scoped_acquire locked;
            try {
                progress(percent);
            } catch (...) {
                failed = std::current_exception();
            }
        };
    }
    int result;
    {
        py::gil_scoped_release unlocked;
        result = programFirmware(hexFile, serial, report);
    }
    if (failed) {
        try {
            std::rethrow_exception(failed);
        } catch (py::error_already_set& error) {
            if (result != BootOk && py::hasattr(error.value(), "add_note")) {
                error.value().attr("add_note")(
                    "the upgrade failed too: " + programResultMessage(result) + " (" +
                    std::to_string(result) + ")");
            }
            throw;
        }
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
    m.attr("EVENT_QUEUE_LIMIT") = kEventQueueLimit;
    m.attr("MAX_TIMEOUT") = kMaxTimeoutSeconds;  // seconds

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
        .def_property_readonly("dropped", &PyDevice::dropped)
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
