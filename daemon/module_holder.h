// One attached module as the service holds it: its TavrikDevice while open, its state, the
// back-off of its reopening, its inhibitor and its object on the bus. Lives on the loop's
// thread; the device's blocking calls run on the daemon's workers.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pending_reply.h"
#include "point_writes.h"
#include "tavrik_device.h"

namespace tavrik::daemon {

class Daemon;

enum class ModuleState { Running, Reopening, Bootloader, Inhibited };
const char* stateText(ModuleState state);

// What the daemon read when it last opened the module.
struct ModuleIdentity {
    std::string infoSerial;
    std::string name;
    std::string typeText;
    std::string firmwareVersion;
    std::string hardwareVersion;
    int64_t watchdogTime = 0;
    std::vector<uint32_t> pointCounts;
    std::vector<uint32_t> relayOutputs;
};

class ModuleHolder {
  public:
    ModuleHolder(Daemon& daemon, std::string serial, std::string path);
    ModuleHolder(const ModuleHolder&) = delete;
    ModuleHolder& operator=(const ModuleHolder&) = delete;
    // Takes the object off the bus and closes the module.
    ~ModuleHolder();

    // Puts the object on the bus (InterfacesAdded); negative errno on failure.
    int publish();
    const std::string& serial() const { return serial_; }
    ModuleState state() const { return state_; }
    // False when it runs and its API thread does not.
    bool healthy() const;

    // A scan found it in application mode (ticket: held until the opening it starts ends),
    // or in its bootloader.
    void foundInApplication(const std::string& productString, const TicketRef& ticket);
    void foundInBootloader(const std::string& productString);
    // While an inhibitor holds it, it stays although it is not attached: the holder may be
    // reprogramming it.
    bool keepWhenGone() const { return state_ == ModuleState::Inhibited; }

    // Results the workers hand back to the loop.
    void deviceEvent(uint64_t generation, int32_t kind, int32_t type, int32_t index, int32_t value,
                     uint64_t timestampUs);
    void openDone(uint64_t generation, int result, const ModuleIdentity& identity);

    // The io.tavrik1.Module interface (module_object.cpp).
    static const sd_bus_vtable kVtable[];

  private:
    // The identity text of a property's name ("Name", "Serial", ...); null for another name.
    const std::string* identityText(const std::string& name) const;
    static int property(sd_bus* bus, const char* path, const char* interface, const char* property,
                        sd_bus_message* reply, void* self, sd_bus_error* error);
    static int getValue(sd_bus_message* call, void* self, sd_bus_error* error);
    static int getValues(sd_bus_message* call, void* self, sd_bus_error* error);
    static int setValue(sd_bus_message* call, void* self, sd_bus_error* error);
    static int setValues(sd_bus_message* call, void* self, sd_bus_error* error);
    static int inhibit(sd_bus_message* call, void* self, sd_bus_error* error);
    static int onInhibitFd(sd_event_source* source, int fd, uint32_t events, void* self);
    static int onReopenTimer(sd_event_source* source, uint64_t usec, void* self);

    // Ok, or why points cannot be used now.
    int usable() const;
    void replyAfterExchange(sd_bus_message* call);
    void startOpen(const TicketRef& ticket);
    // Ends the current opening (later events of it are dropped) and closes the device on the
    // worker; afterClose then runs on the loop.
    void stopDevice(std::function<void()> afterClose = {});
    void scheduleReopen();
    void cancelReopen();
    void apiThreadStopped();
    void releaseInhibitor();
    void setState(ModuleState state, bool identityChanged = false);
    void emitSignal(const char* member, const char* types, ...);

    Daemon& daemon_;
    const std::string serial_;
    const std::string path_;
    std::string productString_;
    ModuleState state_ = ModuleState::Reopening;
    ModuleIdentity identity_;
    std::shared_ptr<TavrikDevice> device_;
    uint64_t generation_ = 0;  // of the current opening; events of older ones are dropped
    bool opening_ = false;
    bool stoppedWhileOpening_ = false;
    uint64_t sequence_ = 0;
    std::set<std::pair<int32_t, int32_t>> reported_;  // points reported since the opening
    std::vector<TicketRef> tickets_;
    int backoffMs_;
    sd_event_source* reopenTimer_ = nullptr;
    int inhibitFd_ = -1;  // read end of the inhibitor's pipe
    sd_event_source* inhibitSource_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    bool published_ = false;
};

// Microseconds on CLOCK_MONOTONIC.
uint64_t monotonicMicros();

}  // namespace tavrik::daemon
