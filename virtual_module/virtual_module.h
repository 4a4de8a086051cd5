// A simulated Tavrik module firmware, written from the module's side of the protocols, and a
// virtual bus of such modules that plugs into the HID layer's backend seam.
//
// VirtualModule is the firmware core of one module: output reports go in, input reports come
// out, and it says when it has restarted into its other mode or pulled itself off the bus. It
// has no clock and no lock of its own; whoever drives it passes the time in milliseconds and
// serialises the calls. VirtualBus drives a set of them behind hid::HidBackend; tavrik_sim
// drives them from uhid events.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid_backend.h"
#include "tavrik_message.h"

namespace tavrik::virt {

// Faults injected on demand; each applies to the next matching request(s).
struct Fault {
    enum Kind {
        NoReply,      // the request is swallowed
        LateReply,    // the reply arrives only after the host's read of it timed out
        BadPreamble,  // reply byte 0 is not 0xAA
        BadCheck,     // reply check byte is wrong
        Status,       // reply status byte = status
        Vanish,       // the module leaves the bus instead of answering
        // bootloader mode
        BootNoAnswer,              // no reply to bootCommand
        BootWrongLength,           // reply to bootCommand one byte longer
        BootBadCrc,                // reply to bootCommand with a wrong CRC
        FlashStuckByte,            // the first address programmed keeps a wrong byte, for good
        UnplugAfterProgramFrames,  // after `count` acknowledged Program frames, the next one
                                   // makes the module vanish without an answer
        BootVanish,                // the module leaves the bus instead of answering
    } kind = NoReply;
    int count = 1;     // how many requests it affects (frames for UnplugAfter...)
    int status = 0;    // Status
    int command = -1;  // application command it applies to, -1 = any
    int after = 0;     // matching requests answered normally before it
    // Takes only the host's writes: running state exchanges that change a writable point.
    bool writesOnly = false;
    // Vanish, BootVanish: back on the bus after this many ms, in its bootloader with its flash
    // as it was, as after a power cut and a replug; -1: gone for good.
    int backMs = -1;
    uint8_t bootCommand = 0;  // bootloader command it applies to, 0 = any
};

// Something the module does by itself, counted from its first keep-alive (the host's API
// thread starting).
struct ScriptedAction {
    enum Kind { SetPoint, ErrorEvent, StateEvent, Unplug, Flood } kind = StateEvent;
    int afterMs = 0;
    uint32_t type = 0;   // SetPoint
    uint32_t index = 0;  // SetPoint
    // SetPoint: the value as the host reads it; ErrorEvent: the code; Flood: the period in ms
    // of the state events it sends from then on
    int32_t value = 0;
};

// A point's starting value, as the host reads it.
struct PointValue {
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;
};

struct ModuleConfig {
    std::optional<std::string> usbSerial;  // HID serial-number string; none = unreadable
    std::string productString = "Tavrik IO";
    uint16_t applicationPid = 0xF713;
    uint16_t bootloaderPid = 0xF65D;
    std::optional<std::string> location;  // location key of its interface
    std::string typeText = "TIO-8";
    std::string firmwareVersion = "2.1.0";
    int32_t deviceFlags = 0;  // bit 0: extended layout
    uint32_t watchdogTime = 0;
    bool watchdogReset = false;
    std::string infoSerial;  // information block texts
    std::string infoName;
    std::string hardwareVersion = "B";
    bool infoDamaged = false;
    std::vector<uint8_t> ioConfig;     // one configuration code per point, at most 255
    bool answersConfigCommand = true;  // false: command 5 gets no reply
    bool busy = false;                 // held open by another process
    bool startInBootloader = false;
    int restartDelayMs = 0;  // time away from the bus when switching mode
    // Wire-time model: how long the module works on a request before its reply starts out.
    int commandMs = 0;  // any application request and bootloader command not named below
    int eraseMs = 0;    // bootloader Erase
    int programMs = 0;  // bootloader Program frame
    uint8_t hardwareType = 3;
    uint8_t bootVersionMajor = 1;
    uint8_t bootVersionMinor = 4;
    std::vector<PointValue> initialValues;  // points not named start at 0
    std::vector<ScriptedAction> script;
    std::vector<Fault> faults;  // armed from power-on
};

// One 64-byte input report on its way to the host. A late report is held back until a read
// that waits for it has timed out (a driver without reads delays it beyond 100 ms instead).
struct InputReport {
    std::array<uint8_t, kMessageSize> bytes{};
    bool late = false;
    // Wire-time model: the bus time in µs from which the host may read it; set once by the bus.
    bool stamped = false;
    int64_t readyUs = 0;
};

// Start of the flash window the bootloader programs, and its size.
constexpr uint32_t kFlashBase = 0x9D006000;
constexpr uint32_t kFlashSize = 0x20000;

// point() of a type and index the module does not have.
constexpr int32_t kNoPoint = -1;

class AppFirmware;
class BootFirmware;

class VirtualModule {
  public:
    explicit VirtualModule(ModuleConfig config);
    ~VirtualModule();
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    const ModuleConfig& config() const;
    bool inBootloader() const;
    uint16_t productId() const;  // the one it enumerates with in its current mode

    // Firmware side. receive takes one output report without its report ID (64 bytes; a
    // shorter one is zero-padded). Replies and messages sent unasked collect in output().
    void receive(const uint8_t* report, size_t length, int64_t nowMs);
    // Runs the scripted actions that are due.
    void tick(int64_t nowMs);
    // When the next scripted action falls due, if one is waiting and the clock has started.
    std::optional<int64_t> nextActionMs() const;
    std::deque<InputReport>& output();
    // True once after the module restarted into its other mode: it left the bus and comes
    // back under productId(). Reports still in output() were sent before it left.
    bool takeRestart();
    // True once after a scripted or programmed unplug; output() has been emptied.
    bool takeUnplug();
    // After takeUnplug: when the module comes back, in ms, if it does. Whoever presents it
    // then calls powerUpInBootloader() and puts it back on the bus.
    std::optional<int> takeComeBack();
    void powerUpInBootloader();

    // Point values as the host reads them (one-bit points are inverted on the wire).
    int32_t point(uint32_t type, uint32_t index) const;  // kNoPoint when absent
    bool setPoint(uint32_t type, uint32_t index, int32_t value);
    // Messages sent unasked (application mode only; ignored in the bootloader).
    void sendStateEvent();
    void sendErrorEvent(int8_t code);
    void sendRaw(const TavrikMessage& message);
    void injectFault(const Fault& fault);
    const std::vector<uint8_t>& image() const;
    uint32_t imageLength() const;

    // Bootloader flash window from kFlashBase, kFlashSize bytes.
    const std::vector<uint8_t>& flash() const;
    // Lowest programmed address and the end of the highest; equal when nothing is programmed
    // since the last erase.
    uint32_t programmedStart() const;
    uint32_t programmedEnd() const;

    // Every output report received in application mode, in order, checked or not.
    const std::vector<TavrikMessage>& requests() const;
    size_t requestCount(uint8_t command) const;
    // Payloads of the bootloader frames received with a good CRC, command byte first.
    const std::vector<std::vector<uint8_t>>& bootRequests() const;

  private:
    void runAction(const ScriptedAction& action);
    void restart();

    ModuleConfig config_;
    std::unique_ptr<AppFirmware> app_;
    std::unique_ptr<BootFirmware> boot_;
    bool inBootloader_ = false;
    std::deque<InputReport> output_;
    bool restarted_ = false;
    bool unplugged_ = false;
    std::optional<int> comeBackMs_;
    std::optional<int64_t> firstKeepAliveMs_;
    std::vector<ScriptedAction> script_;  // by time
    size_t nextAction_ = 0;
    int floodPeriodMs_ = 0;  // 0: no flood
    int64_t nextFloodMs_ = 0;
};

// A bus of virtual modules; thread-safe. Install it with hid::setBackend, or let a test
// variant's defaultBackend() return one built from a scenario file.
class VirtualBus : public hid::HidBackend {
  public:
    VirtualBus();
    ~VirtualBus() override;

    // Returns the module's index on the bus.
    size_t add(ModuleConfig config);

    // Appends one line per request received ("app <64 bytes hex>", "boot <payload hex>") and,
    // when the bus is destroyed, one "state" and one "flash" line per module. Returns false
    // when the file cannot be opened.
    bool setLog(const std::string& path);

    // Shares the modules' open state with the other processes that run the same scenario and
    // name the same directory: a module one of them has open is busy to the others. The final
    // log lines then name only the modules this process opened, since the others' final state
    // is another process's to tell.
    void setHoldDirectory(const std::string& dir);

    // Wire-time model, off at 0: each 64-byte report takes this many ms to cross the wire in
    // either direction, one after the other, as on a full-speed interrupt endpoint.
    void setWireMs(int ms);

    // Inspection and control; the callback runs under the bus lock.
    template <typename F>
    auto withModule(size_t index, F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(*slots_.at(index).module);
    }
    void setPoint(size_t index, uint32_t type, uint32_t point, int32_t value, bool sendEvent);
    void sendStateEvent(size_t index);
    void sendErrorEvent(size_t index, int8_t code);
    void sendRaw(size_t index, const TavrikMessage& message);  // sent as is
    void injectFault(size_t index, Fault fault);
    // Off the bus: reads and writes on its handles fail, enumeration leaves it out. plug()
    // brings it back, as it was, under a new path.
    void unplug(size_t index);
    void plug(size_t index);
    void setBusy(size_t index, bool busy);
    // Waits until predicate(module) holds or the time-out passes; true if it held.
    bool waitFor(size_t index, int timeoutMs, const std::function<bool(const VirtualModule&)>& p);
    // Number of reads the host has made on the module's handles (for pacing tests).
    size_t readCount(size_t index) const;

    // HidBackend
    std::vector<hid::EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override;
    hid::hid_device* openPath(const char* path, int* status) override;
    int write(hid::hid_device* dev, const unsigned char* data, size_t length) override;
    int readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                    int milliseconds) override;
    int productString(hid::hid_device* dev, wchar_t* string, size_t maxlen) override;
    void close(hid::hid_device* dev) override;

  private:
    struct Slot {
        std::unique_ptr<VirtualModule> module;
        bool plugged = true;
        bool busy = false;
        uint32_t generation = 0;           // changes whenever the module leaves the bus
        int64_t presentFromMs = 0;         // back on the bus after a restart
        std::deque<InputReport> farewell;  // sent just before leaving, still readable
        uint32_t farewellGeneration = 0;
        size_t reads = 0;
        bool opened = false;      // by this process, at some time
        int64_t lastReadyUs = 0;  // the wire carries one input report at a time
    };
    struct Handle;

    int64_t nowMs() const;
    bool present(const Slot& slot, int64_t now) const;
    Handle* find(hid::hid_device* dev) const;
    void tick(Slot& slot, int64_t now);
    void takeSignals(Slot& slot, int64_t now);
    void leave(Slot& slot);
    bool modelled(const Slot& slot) const;
    void stamp(Slot& slot, int64_t nowUs, int processingMs);
    int64_t nowUs() const;
    void logLine(const std::string& line);
    void logFinalState();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Handle>> handles_;
    const std::chrono::steady_clock::time_point start_;
    std::FILE* log_ = nullptr;
    std::string holdDirectory_;
    int wireMs_ = 0;
};

}  // namespace tavrik::virt
