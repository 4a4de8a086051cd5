// A simulated Tavrik module firmware, written from the module's side of the protocols, and a
// virtual bus of such modules that plugs into the HID layer's backend seam.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid_backend.h"
#include "tavrik_message.h"

namespace tavrik::virt {

// Something the module does by itself, counted from its first keep-alive (the host's API
// thread starting).
struct ScriptedAction {
    enum Kind { SetPoint, ErrorEvent, StateEvent, Unplug } kind = StateEvent;
    int afterMs = 0;
    uint32_t type = 0;   // SetPoint
    uint32_t index = 0;  // SetPoint
    int32_t value = 0;   // SetPoint: the value as the host reads it; ErrorEvent: the code
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
    std::vector<uint8_t> ioConfig;  // one configuration code per point
    bool answersConfigCommand = true;  // false: command 5 gets no reply
    bool busy = false;                 // held open by another process
    bool startInBootloader = false;
    int restartDelayMs = 0;  // time away from the bus when switching mode
    uint8_t hardwareType = 3;
    uint8_t bootVersionMajor = 1;
    uint8_t bootVersionMinor = 4;
    std::vector<ScriptedAction> script;
};

// Faults injected on demand; each applies to the next matching request(s).
struct Fault {
    enum Kind {
        NoReply,       // the request is swallowed
        LateReply,     // the reply arrives only after the host's read of it timed out
        BadPreamble,   // reply byte 0 is not 0xAA
        BadCheck,      // reply check byte is wrong
        Status,        // reply status byte = status
        // bootloader mode
        BootNoAnswer,     // no reply to bootCommand
        BootWrongLength,  // reply to bootCommand one byte longer
        BootBadCrc,       // reply to bootCommand with a wrong CRC
        FlashStuckByte,   // the flash keeps 0x00 at the first programmed address
        UnplugAfterProgramFrames,  // unplug after `count` Program frames
    } kind = NoReply;
    int count = 1;           // how many requests it affects (frames for UnplugAfter...)
    int status = 0;          // Status
    int command = -1;        // application command it applies to, -1 = any
    uint8_t bootCommand = 0; // bootloader command it applies to
};

class VirtualBus;

// One module. All access goes through the bus, which holds the lock.
class VirtualModule {
public:
    explicit VirtualModule(ModuleConfig config);
    ~VirtualModule();

    const ModuleConfig& config() const;
    bool inBootloader() const;

    // Point values as the host reads them (one-bit points are inverted on the wire).
    int32_t point(uint32_t type, uint32_t index) const;
    void setPoint(uint32_t type, uint32_t index, int32_t value);
    const std::vector<uint8_t>& image() const;
    uint32_t imageLength() const;

    // Bootloader flash window from 0x9D006000, 128 KiB.
    const std::vector<uint8_t>& flash() const;

    // Requests received in application mode, in order (after check-byte validation).
    const std::vector<TavrikMessage>& requests() const;
    size_t requestCount(uint8_t command) const;
    // Payloads of bootloader frames received, command byte first.
    const std::vector<std::vector<uint8_t>>& bootRequests() const;

private:
    friend class VirtualBus;
    struct State;
    std::unique_ptr<State> s_;
};

// A bus of virtual modules; thread-safe. Install it with hid::setBackend, or let a test
// variant's defaultBackend() return one built from a scenario file.
class VirtualBus : public hid::HidBackend {
public:
    VirtualBus();
    ~VirtualBus() override;

    // Returns the module's index on the bus.
    size_t add(ModuleConfig config);
    size_t moduleCount() const;

    // Inspection and control; the callback runs under the bus lock.
    template <typename F>
    auto withModule(size_t index, F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(*modules_.at(index));
    }
    void setPoint(size_t index, uint32_t type, uint32_t point, int32_t value, bool sendEvent);
    void sendStateEvent(size_t index);
    void sendErrorEvent(size_t index, int8_t code);
    void sendRaw(size_t index, const TavrikMessage& message);  // sent as is
    void injectFault(size_t index, Fault fault);
    void unplug(size_t index);
    void plug(size_t index);
    void setBusy(size_t index, bool busy);
    // Waits until predicate(module) holds or the time-out passes; true if it held.
    bool waitFor(size_t index, int timeoutMs, const std::function<bool(const VirtualModule&)>& p);
    // Number of reads the host has made on the module's open handle (for pacing tests).
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
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<VirtualModule>> modules_;
};

}  // namespace tavrik::virt
