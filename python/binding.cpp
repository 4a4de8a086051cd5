// The Python module tavrik._tavrik over the library's public API. Failures become the
// exceptions of tavrik's Python layer, which picks the class by code; every message is the
// library's. Events and hot-plug reports are pulled from the library's queues with the GIL
// released, so no Python code runs on the library's threads.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <tuple>
#include <vector>

#include "tavrik/tavrik.h"

namespace py = pybind11;

namespace tavrik::python {

namespace {

// How often a wait for events looks for a KeyboardInterrupt.
constexpr int kSignalCheckMs = 50;

// Every timeout is seconds from Python, checked here so that no call below gets a negative
// one, or one too large for the library's int of milliseconds, which would wrap into a
// deadline in the past. None, where a call takes it, waits without end.
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

int timeoutMs(std::optional<double> seconds) {
    return seconds ? timeoutMs(*seconds) : -1;
}

double monotonicSeconds(std::chrono::steady_clock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

enum class Domain { Device, Upgrade };  // the two ranges of codes, which overlap

// Raises tavrik._error(code, message, upgrade): the Python layer picks the class.
[[noreturn]] void raise(int code, const std::string& message, Domain domain = Domain::Device) {
    py::object error =
        py::module_::import("tavrik").attr("_error")(code, message, domain == Domain::Upgrade);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void check(int result) {
    if (result != Ok) {
        raise(result, resultMessage(result));
    }
}

// A failure about one point names it; the others are the device's.
void checkPoint(int result, uint32_t type, int32_t index) {
    if (result == IoPointOutOfRange || result == InvalidParameterValue) {
        raise(result, pointResultMessage(result, type, index));
    }
    check(result);
}

// Reads one record from a device or a monitor, waiting without the GIL in slices, so that a
// KeyboardInterrupt gets through: true with a record, false when none came in time; the
// source's DeviceNotOpen (closed, or not started, and nothing left) raises.
template <class Source, class Record>
bool readWaiting(Source& source, Record& record, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int sliceMs = kSignalCheckMs;
        if (waitMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            sliceMs =
                static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(sliceMs, left.count())));
        }
        int result;
        {
            py::gil_scoped_release unlocked;
            result = source.readEvent(record, sliceMs);
        }
        if (result == 1) {
            return true;
        }
        if (result != 0) {
            raise(result, resultMessage(result));
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
        if (waitMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

using EventTuple = std::tuple<int32_t, uint32_t, uint32_t, int32_t, uint64_t, double, bool>;
using PointTuple = std::tuple<uint32_t, uint32_t, int32_t>;
using ModuleTuple = std::tuple<std::string, int, std::string, std::string, std::string>;
using HotplugTuple = std::tuple<bool, ModuleTuple, double, bool>;

ModuleTuple moduleTuple(const ModuleInfo& m) {
    return {m.serial, static_cast<int>(m.mode), m.productString, m.location, m.path};
}

// A module opened and started for Python.
class PyDevice {
  public:
    // Opening talks to the module for a while: other Python threads run meanwhile.
    PyDevice(const std::string& serial, size_t queueCapacity) {
        device_.setEventQueueCapacity(queueCapacity);
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
            checkPoint(v, type, index);
        }
        return v;
    }

    void set(uint32_t type, int32_t index, int32_t value, bool wait, double timeoutSeconds) {
        const int ms = timeoutMs(timeoutSeconds);  // before the value is set
        checkPoint(device_.setValue(type, index, value), type, index);
        if (wait) {
            waitForExchange(ms);
        }
    }

    std::vector<PointTuple> values() {
        std::vector<PointValue> values;
        check(device_.values(values));
        std::vector<PointTuple> tuples;
        tuples.reserve(values.size());
        for (const PointValue& v : values) {
            tuples.emplace_back(v.type, v.index, v.value);
        }
        return tuples;
    }

    // Indexes come as Python ints: one outside uint32 is out of range for every module, as
    // the library's own check of a negative index says.
    void setValues(const std::vector<std::tuple<uint32_t, int64_t, int32_t>>& values, bool wait,
                   double timeoutSeconds) {
        const int ms = timeoutMs(timeoutSeconds);
        std::vector<PointValue> points;
        points.reserve(values.size());
        for (const auto& [type, index, value] : values) {
            const bool inRange = index >= 0 && index <= UINT32_MAX;
            points.push_back({type, inRange ? static_cast<uint32_t>(index) : UINT32_MAX, value});
        }
        check(device_.setValues(points));
        if (wait) {
            waitForExchange(ms);
        }
    }

    void waitForExchange(double timeoutSeconds) { waitForExchange(timeoutMs(timeoutSeconds)); }

    // (kind, type, index, value, sequence, timestamp, initial), of which the Python layer
    // makes its Event; None when none came in time.
    std::optional<EventTuple> readEvent(std::optional<double> timeoutSeconds) {
        EventRecord r;
        if (!readWaiting(device_, r, timeoutMs(timeoutSeconds))) {
            return std::nullopt;
        }
        return EventTuple(r.event.kind, r.event.type, r.event.index, r.event.value, r.sequence,
                          monotonicSeconds(r.timestamp), r.initial);
    }

    Device& device() { return device_; }

  private:
    void waitForExchange(int ms) {
        int result;
        {
            py::gil_scoped_release unlocked;
            result = device_.waitForExchange(ms);
        }
        check(result);
    }

    Device device_;
};

class PyMonitor {
  public:
    // The Python layer checks the interval; 0 keeps the library's.
    explicit PyMonitor(int scanIntervalMs) {
        if (scanIntervalMs > 0) {
            monitor_.setScanInterval(scanIntervalMs);
        }
    }

    ~PyMonitor() { stop(); }
    PyMonitor(const PyMonitor&) = delete;
    PyMonitor& operator=(const PyMonitor&) = delete;

    void start() {
        int result;
        {
            py::gil_scoped_release unlocked;  // the first scan
            result = monitor_.start();
        }
        check(result);
    }

    void stop() {
        py::gil_scoped_release unlocked;
        monitor_.stop();
    }

    std::optional<HotplugTuple> read(std::optional<double> timeoutSeconds) {
        HotplugEvent e;
        if (!readWaiting(monitor_, e, timeoutMs(timeoutSeconds))) {
            return std::nullopt;
        }
        return HotplugTuple(e.arrived, moduleTuple(e.module), monotonicSeconds(e.timestamp),
                            e.initial);
    }

    int fd() const { return monitor_.fd(); }

  private:
    Monitor monitor_;
};

// An exception from progress (Ctrl-C's KeyboardInterrupt too) must not stop the upgrade half
// way, which would leave the module in its bootloader: the upgrade runs to its end without
// calling progress again, and then the first exception is raised.
void program(const std::string& hexFile, const std::string& serial,
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
    const std::string message = resultMessage(static_cast<BootloaderResult>(result));
    if (failed) {
        try {
            std::rethrow_exception(failed);
        } catch (py::error_already_set& error) {
            if (result != BootOk && py::hasattr(error.value(), "add_note")) {
                error.value().attr("add_note")("the upgrade failed too: " + message + " (" +
                                               std::to_string(result) + ")");
            }
            throw;
        }
    }
    if (result != BootOk) {
        raise(result, message, Domain::Upgrade);
    }
}

}  // namespace

void defineModule(py::module_& m) {
    m.doc() = "Tavrik IO modules: device list, IO points, events, hot-plug and firmware upgrade";
    m.attr("EVENT_QUEUE_LIMIT") = kDefaultEventQueueCapacity;
    m.attr("MAX_TIMEOUT") = kMaxTimeoutSeconds;  // seconds
    m.attr("IO_TYPE_COUNT") = kIoTypeCount;
    m.attr("EVENT_ERROR") = Event::Error;
    m.attr("EVENT_IO") = Event::Io;
    m.attr("POE_CLASS_MASK") = kPoeClassMask;
    py::list flags;
    for (const PoeStatusFlag& flag : poeStatusFlags()) {
        flags.append(py::make_tuple(flag.mask, flag.word));
    }
    m.attr("POE_STATUS_FLAGS") = py::tuple(flags);

    py::enum_<Mode>(m, "Mode")
        .value("application", Mode::Application)
        .value("bootloader", Mode::Bootloader)
        .value("either", Mode::Either);

    py::enum_<TavrikResult>(m, "Result")
        .value("Ok", Ok)
        .value("DeviceBusy", DeviceBusy)
        .value("MessageSizeInvalid", MessageSizeInvalid)
        .value("MessageMissingPreamble", MessageMissingPreamble)
        .value("ParameterCountMismatch", ParameterCountMismatch)
        .value("ParameterTypeMismatch", ParameterTypeMismatch)
        .value("MessageCrcInvalid", MessageCrcInvalid)
        .value("IoPointOutOfRange", IoPointOutOfRange)
        .value("CommandInvalid", CommandInvalid)
        .value("I2cTimeout", I2cTimeout)
        .value("IoExpanderMismatch", IoExpanderMismatch)
        .value("InvalidParameterValue", InvalidParameterValue)
        .value("UsbProtocolError", UsbProtocolError)
        .value("FlashError", FlashError)
        .value("WatchdogReset", WatchdogReset)
        .value("ApiThreadStopped", ApiThreadStopped)
        .value("UnableToOpenDevice", UnableToOpenDevice)
        .value("DeviceNotOpen", DeviceNotOpen)
        .value("CommunicationTimeout", CommunicationTimeout)
        .value("ConfigFileFailed", ConfigFileFailed);

    py::enum_<BootloaderResult>(m, "BootloaderResult")
        .value("BootOk", BootOk)
        .value("BootDeviceNotFound", BootDeviceNotFound)
        .value("BootDeviceNotOpen", BootDeviceNotOpen)
        .value("BootInvalidHexFile", BootInvalidHexFile)
        .value("BootVerifyFailed", BootVerifyFailed)
        .value("BootUnexpectedReply", BootUnexpectedReply)
        .value("BootWriteFailed", BootWriteFailed)
        .value("BootReadFailed", BootReadFailed);

    m.def("result_message", py::overload_cast<int>(&resultMessage), py::arg("code"));
    m.def(
        "bootloader_result_message",
        [](int code) { return resultMessage(static_cast<BootloaderResult>(code)); },
        py::arg("code"));
    m.def("point_result_message", &pointResultMessage, py::arg("code"), py::arg("type"),
          py::arg("index"));
    m.def("library_version", &libraryVersion);
    m.def("io_type_name", &ioTypeName, py::arg("type"));
    m.def("is_writable", &isWritableType, py::arg("type"));
    m.def("event_kind_name", &eventKindName, py::arg("kind"));
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
    m.def("attached_modules", [] {
        std::vector<ModuleInfo> modules;
        {
            py::gil_scoped_release unlocked;
            modules = attachedModules();
        }
        std::vector<ModuleTuple> tuples;
        for (const ModuleInfo& module : modules) {
            tuples.push_back(moduleTuple(module));
        }
        return tuples;
    });
    m.def("program", &program, py::arg("hex_file"), py::arg("serial"),
          py::arg("progress") = nullptr);

    py::class_<PyDevice>(m, "_Device")
        .def(py::init<const std::string&, size_t>(), py::arg("serial"), py::arg("queue_capacity"))
        .def("close", &PyDevice::close)
        .def("value", &PyDevice::value, py::arg("type"), py::arg("index"))
        .def("set", &PyDevice::set, py::arg("type"), py::arg("index"), py::arg("value"),
             py::arg("wait"), py::arg("timeout"))
        .def("values", &PyDevice::values)
        .def("set_values", &PyDevice::setValues, py::arg("values"), py::arg("wait"),
             py::arg("timeout"))
        .def("wait_for_exchange", py::overload_cast<double>(&PyDevice::waitForExchange),
             py::arg("timeout"))
        .def("count", [](PyDevice& d, uint32_t type) { return d.device().pointCount(type); })
        .def("is_relay", [](PyDevice& d, uint32_t type,
                            int32_t index) { return d.device().isRelay(type, index); })
        .def("read_event", &PyDevice::readEvent, py::arg("timeout"))
        .def_property_readonly("event_fd", [](PyDevice& d) { return d.device().eventFd(); })
        .def_property_readonly("dropped", [](PyDevice& d) { return d.device().eventsDropped(); })
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
        .def_property_readonly("status", [](PyDevice& d) { return d.device().status(); })
        .def_property_readonly("via_service", [](PyDevice& d) { return d.device().viaService(); });

    py::class_<PyMonitor>(m, "_Monitor")
        .def(py::init<int>(), py::arg("scan_interval_ms"))
        .def("start", &PyMonitor::start)
        .def("stop", &PyMonitor::stop)
        .def("read", &PyMonitor::read, py::arg("timeout"))
        .def_property_readonly("fd", &PyMonitor::fd);
}

}  // namespace tavrik::python
