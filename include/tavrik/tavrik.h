/// \file
/// libtavrik: Tavrik IO modules from C++.
///
/// The same modules, the same order and the same results as the tavrik_info and tavrik_program
/// tools: the attached modules (devices, serials), one module opened for use (Device) with its
/// IO points and its events, and the firmware upgrade (programFirmware).
///
/// Failures are returned as the result codes below, never thrown. Nothing here depends on how
/// the library reaches the modules, so the ABI stays when its internals change.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tavrik/version.h"

#if defined(_WIN32)
#if defined(TAVRIK_BUILDING_LIBRARY)
#define TAVRIK_API __declspec(dllexport)
#else
// Plain declarations: the import library reaches the DLL's functions through stubs, and the
// same code also links with the library's static objects.
#define TAVRIK_API
#endif
#else
#define TAVRIK_API __attribute__((visibility("default")))
#endif

namespace tavrik {

/// Result of every module operation: 0 or negative. -1 to -14 are the module's own codes (the
/// status of its replies and the code of its error events); -100 and below are the host's.
enum TavrikResult : int32_t {
    Ok = 0,
    DeviceBusy = -1,
    MessageSizeInvalid = -2,
    MessageMissingPreamble = -3,
    ParameterCountMismatch = -4,
    ParameterTypeMismatch = -5,
    MessageCrcInvalid = -6,
    IoPointOutOfRange = -7,
    CommandInvalid = -8,
    I2cTimeout = -9,
    IoExpanderMismatch = -10,
    InvalidParameterValue = -11,
    UsbProtocolError = -12,
    FlashError = -13,
    WatchdogReset = -14,
    ApiThreadStopped = -100,
    UnableToOpenDevice = -101,
    DeviceNotOpen = -102,
    CommunicationTimeout = -103,
    ConfigFileFailed = -104,
};

/// IO point types. Within a type, points are numbered from 0 in the module's order.
enum TavrikIoType : uint32_t {
    Inputs = 0,
    Outputs = 1,
    Buttons = 2,
    PsAlarms = 3,
    RaidLeds = 4,
    Watchdog = 5,
    PoeEnable = 6,
    PoeReset = 7,
    PoeStatus = 8,
    PoeVoltage = 9,
    PoeCurrent = 10,
    PoeTemperature = 11,
    PoeMaxPower = 12,
};

/// Number of IO types; also the type of error events.
constexpr uint32_t kIoTypeCount = 13;

/// Results of the firmware upgrade: 0, or the first failing step's.
enum BootloaderResult : int {
    BootOk = 0,
    BootDeviceNotFound = -1,   ///< no module with that serial in its bootloader
    BootDeviceNotOpen = -2,    ///< the module went away
    BootInvalidHexFile = -3,   ///< the file is missing or not valid Intel HEX
    BootVerifyFailed = -4,     ///< the flash CRC differs from the file's
    BootUnexpectedReply = -5,  ///< the bootloader answered something else
    BootWriteFailed = -6,      ///< a report could not be written
    BootReadFailed = -7,       ///< a report did not come in time
};

/// The fixed message of a TavrikResult ("Device is busy", ...); "Unknown Error" otherwise.
TAVRIK_API std::string resultMessage(int code);

/// The message of an upgrade's result ("No Error", "Not a valid hex file", ...); "Unknown
/// Error" for a code that is none. The codes overlap TavrikResult's, so the enum type picks
/// this one: resultMessage(BootloaderResult(code)).
TAVRIK_API std::string resultMessage(BootloaderResult code);

/// A point's failure with the point named: "IO point out of range: outputs 7".
TAVRIK_API std::string pointResultMessage(int code, uint32_t type, int32_t index);

/// The version of the library loaded at run time ("1.3.0"), which may be newer than the
/// TAVRIK_VERSION a program was built with.
TAVRIK_API std::string libraryVersion();

/// The name of an IO type ("inputs" to "poe_maxpower"); "Unknown IO Type" above 12.
TAVRIK_API std::string ioTypeName(uint32_t type);

/// Whether points of the type can be set: outputs, raidleds, watchdog, poe_enable, poe_reset,
/// poe_maxpower.
TAVRIK_API bool isWritableType(uint32_t type);

/// Bits 0 to 2 of a poe_status word: the port's PoE class.
constexpr uint32_t kPoeClassMask = 0x07;

/// A flag of a poe_status word: its bit and its word ("enabled", "powered", ...).
struct PoeStatusFlag {
    uint32_t mask;
    const char* word;
};

/// The flags of a poe_status word, in the order tavrik_info prints them.
TAVRIK_API std::vector<PoeStatusFlag> poeStatusFlags();

/// The name of an event kind: "io" for Event::Io, "error" for Event::Error, "unknown"
/// otherwise.
TAVRIK_API std::string eventKindName(int32_t kind);

/// The usable modules in application mode, in the order and with the indexes of
/// `tavrik_info -l`: ordered by their index in tavrik.ini. Each module is opened for a moment
/// to learn its type; a module in use elsewhere is listed, one that cannot be opened is not.
///
/// Run as an administrator (a process that may write tavrik.ini: root, as a rule), it
/// records every module it has not seen before in tavrik.ini, as `tavrik_info -l` does. To
/// list modules without opening them or touching the file, use attachedModules().
TAVRIK_API std::vector<std::string> devices();

enum class Mode { Application, Bootloader, Either };

/// Serial numbers of the attached modules in the given mode, in physical order, each once,
/// without opening them (`tavrik_program -l` lists Mode::Either).
TAVRIK_API std::vector<std::string> serials(Mode mode);

/// An attached module as the system lists it, found without opening it.
struct ModuleInfo {
    std::string serial;             ///< USB serial number
    Mode mode = Mode::Application;  ///< Application or Bootloader
    std::string productString;      ///< HID product string; empty when none
    /// Where it is plugged in: a key of the USB ports on the way to it, the same for both
    /// modes of a module; the tools list modules in the order of these keys.
    std::string location;
    std::string path;  ///< the system's device path (/dev/hidrawN on Linux)

    bool operator==(const ModuleInfo& other) const {
        return serial == other.serial && mode == other.mode &&
               productString == other.productString && location == other.location &&
               path == other.path;
    }
    bool operator!=(const ModuleInfo& other) const { return !(*this == other); }
};

/// The attached modules in both modes, in physical order, without opening any and without
/// touching tavrik.ini: safe beside tavrikd, the tools and an upgrade. A module in application
/// mode that also shows its bootloader is listed once, in application mode.
TAVRIK_API std::vector<ModuleInfo> attachedModules();

/// An event of an open, started module, delivered on its API thread.
struct Event {
    static constexpr int32_t Error = 0;  ///< a module error, or the API thread's end
    static constexpr int32_t Io = 1;     ///< a point's change
    int32_t kind = Io;
    uint32_t type = 0;   ///< the point's type; kIoTypeCount for an error
    uint32_t index = 0;  ///< the point's number; 0 for an error
    int32_t value = 0;   ///< the point's new value, or the error's TavrikResult
};

/// An event as Device::readEvent returns it: the event and when and in what order it came.
struct EventRecord {
    Event event;
    /// 1 for the first event after start(), one more for each after it, also for those the
    /// queue dropped: a gap tells how many were lost.
    uint64_t sequence = 0;
    /// When the library received it, on the monotonic clock.
    std::chrono::steady_clock::time_point timestamp;
    /// The first report of this point after start(): its value then, not a change.
    bool initial = false;
};

/// One value of an IO point, for Device::values and Device::setValues.
struct PointValue {
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;

    bool operator==(const PointValue& other) const {
        return type == other.type && index == other.index && value == other.value;
    }
    bool operator!=(const PointValue& other) const { return !(*this == other); }
};

namespace detail {
// The calls below take int milliseconds; a longer duration waits as long as they can.
inline int clampedMs(std::chrono::milliseconds timeout) {
    return timeout.count() > INT32_MAX ? INT32_MAX : static_cast<int>(timeout.count());
}
}  // namespace detail

/// How many events a device keeps for readEvent unless told otherwise.
constexpr size_t kDefaultEventQueueCapacity = 1024;

/// One module opened for use.
///
/// open() reads the module's identity, its IO configuration, tavrik.ini's name and limits for
/// it and its whole state, on the calling thread. start() launches the module's API thread,
/// which from then on does all traffic with it: a keep-alive every 60 s, a state exchange every
/// 900 ms and at once after a write, and reading the events the module sends. Reads and writes
/// of points only touch the device's copy and never wait for the module.
///
/// Thread rules: every member may be called from any thread, but not concurrently with open()
/// or the destructor; close() may also be called from several threads at once. The event
/// callback runs on the API thread; it may call any member except open() and the destructor,
/// and close() from it returns without waiting for the thread.
class TAVRIK_API Device {
  public:
    using EventCallback = std::function<void(const Event&)>;

    Device();
    ~Device();  ///< closes, without calling the event callback
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    /// Takes over other's module, its API thread, callback and queued events; other is left
    /// closed and may be opened again. Not while another thread uses either device.
    Device(Device&& other);
    /// Closes this device's module first, as close() does, then takes over other's.
    Device& operator=(Device&& other);

    /// Opens the application-mode module with this serial: 0, DeviceBusy, UnableToOpenDevice,
    /// or the result of the first request that failed.
    int open(const std::string& serial);
    /// Starts the API thread: 0, or why it is not running (ApiThreadStopped after a failure).
    int start();
    /// Stops the API thread, after the events it is delivering, and closes the module. Safe on
    /// a closed device. Once it returns no event callback runs; called from the callback, none
    /// follows the current one.
    void close();

    /// Identity, as read by the last successful open.
    std::string name() const;  ///< from tavrik.ini, the module or the product string
    std::string serial() const;
    std::string typeText() const;
    std::string firmwareVersion() const;
    std::string hardwareVersion() const;
    int32_t configIndex() const;   ///< in tavrik.ini; -1 for none
    int64_t watchdogTime() const;  ///< seconds since 1970 (UTC); 0 for none
    /// Ok while the API thread runs; ApiThreadStopped when it has stopped or was not started;
    /// DeviceNotOpen when closed.
    int status() const;
    /// Whether the last successful open went through tavrikd, which holds the module: the
    /// device then keeps nothing open of the module itself, and holding it costs the module
    /// nothing.
    bool viaService() const;

    /// Points: the count of a type (0 for one the module lacks), a value (or
    /// IoPointOutOfRange; DeviceNotOpen when closed), whether an output is a relay.
    size_t pointCount(uint32_t type) const;
    int value(uint32_t type, int32_t index) const;
    bool isRelay(uint32_t type, int32_t index) const;
    /// Sets a writable point; the API thread sends it on its next pass. 0, IoPointOutOfRange,
    /// InvalidParameterValue (not writable, negative, above 1 on a one-bit point or above
    /// 0xFFFF on a 16-bit point), or DeviceNotOpen.
    int setValue(uint32_t type, int32_t index, int32_t value);
    /// Waits until the module has answered an exchange that carried every value set before the
    /// call: 0; the failure that stopped the API thread; DeviceNotOpen when closed, also while
    /// it waits; or CommunicationTimeout after timeoutMs.
    int waitForExchange(int timeoutMs);
    int waitForExchange(std::chrono::milliseconds timeout) {
        return waitForExchange(detail::clampedMs(timeout));
    }

    /// Every point of every type, in type and index order, read at one moment: no exchange
    /// with the module falls between two of them. Ok, or DeviceNotOpen (values emptied).
    int values(std::vector<PointValue>& values) const;
    /// Sets several writable points so that one exchange carries them all. Each is checked as
    /// setValue checks it; only when all pass are they set, else the first failure is
    /// returned and nothing is set.
    int setValues(const std::vector<PointValue>& values);

    /// Receives a change of every point that is not writable, module errors and the end of the
    /// API thread (an error event with ApiThreadStopped); an empty function for none. Right
    /// after start, every such point is reported once with its value.
    void setEventCallback(EventCallback callback);

    /// Pull events: the same events as the callback's, kept in a bounded queue from start()
    /// on, whether or not a callback is set. Waits up to timeoutMs (0: does not wait, negative:
    /// without end) for one and takes the oldest: 1 when an event was read, 0 when none came
    /// in time, DeviceNotOpen once the device is closed and its queue is empty. The API
    /// thread's end is the last event of a run.
    int readEvent(EventRecord& event, int timeoutMs);
    int readEvent(EventRecord& event, std::chrono::milliseconds timeout) {
        return readEvent(event, detail::clampedMs(timeout));
    }
    /// A descriptor that polls readable while an event waits, for poll, epoll, GLib or
    /// asyncio: one for the device's life, also readable while the device is closed (so that
    /// a loop learns of the end: readEvent then returns DeviceNotOpen). -1 on Windows. Only
    /// readEvent empties it: do not read it yourself.
    int eventFd() const;
    /// The bound of the queue (at least 1; kDefaultEventQueueCapacity unless set). When it is
    /// full the oldest event is dropped, so the newest state is kept.
    void setEventQueueCapacity(size_t capacity);
    /// Events dropped since start() because the queue was full.
    uint64_t eventsDropped() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// A module arriving or leaving, as Monitor reports it.
struct HotplugEvent {
    bool arrived = true;  ///< false: it left
    ModuleInfo module;    ///< as attachedModules() shows it
    /// When the monitor saw the change, on the monotonic clock.
    std::chrono::steady_clock::time_point timestamp;
    /// Attached already when the monitor started: reported as an arrival, not a new one.
    bool initial = false;
};

/// Watches modules arrive and leave, without opening them. A module that changes mode (an
/// upgrade) leaves in one mode and arrives in the other. On Linux udev's reports wake it at
/// once; it also scans every scan interval, which is all it has where udev does not reach (a
/// container) and on Windows.
///
/// Where tavrikd runs and lets the caller use it, a module in application mode arrives once the
/// service serves it, and leaves when the service no longer does (it stopped answering, an
/// upgrade took it, or the service ended), so that a program that opens it on arrival goes
/// through the service and never takes the module from it. The service's signals of its
/// modules wake the monitor too.
class TAVRIK_API Monitor {
  public:
    Monitor();
    ~Monitor();  ///< stops
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    Monitor(Monitor&& other);
    Monitor& operator=(Monitor&& other);

    /// Starts watching; the modules attached now come first, as initial arrivals. Ok, or
    /// ApiThreadStopped when its thread cannot run. Safe on a started monitor.
    int start();
    /// Stops watching and drops what was not read.
    void stop();
    /// As Device::readEvent: 1, 0 when none came in time, DeviceNotOpen when not started.
    int readEvent(HotplugEvent& event, int timeoutMs);
    int readEvent(HotplugEvent& event, std::chrono::milliseconds timeout) {
        return readEvent(event, detail::clampedMs(timeout));
    }
    /// As Device::eventFd: readable while a report waits and while the monitor is stopped;
    /// -1 on Windows.
    int fd() const;
    /// How often it scans besides udev's reports; 2000 ms unless set; before start().
    void setScanInterval(int intervalMs);
    void setScanInterval(std::chrono::milliseconds interval) {
        setScanInterval(detail::clampedMs(interval));
    }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Upgrades the firmware of the module with this serial from an Intel HEX file, as
/// `tavrik_program -p` does: validates the file, restarts the module into its bootloader,
/// erases, programs, verifies by CRC and starts the new application. progress, if given, is
/// called with the percentage after each programmed frame; log, if given, receives the step
/// lines that tavrik_program prints. Returns a BootloaderResult.
TAVRIK_API int programFirmware(const std::string& hexFile, const std::string& serial,
                               const std::function<void(int percent)>& progress = {},
                               std::ostream* log = nullptr);

}  // namespace tavrik
