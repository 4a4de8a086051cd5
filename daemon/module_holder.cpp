#include "module_holder.h"

#include <time.h>

#include <algorithm>
#include <cstdarg>

#include "daemon.h"
#include "daemon_log.h"

namespace tavrik::daemon {

uint64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

const char* stateText(ModuleState state) {
    switch (state) {
        case ModuleState::Running:
            return bus::kStateRunning;
        case ModuleState::Reopening:
            return "reopening";
        case ModuleState::Bootloader:
            return "bootloader";
        case ModuleState::Inhibited:
            return "inhibited";
    }
    return "reopening";
}

namespace {

// Read on the worker right after the opening, while nothing else uses the device's identity.
ModuleIdentity readIdentity(TavrikDevice& device) {
    ModuleIdentity identity;
    identity.infoSerial = device.serial();
    identity.name = device.name();
    identity.typeText = device.typeText();
    identity.firmwareVersion = device.firmwareVersion();
    identity.hardwareVersion = device.hardwareVersion();
    identity.watchdogTime = device.watchdogTime();
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        identity.pointCounts.push_back(static_cast<uint32_t>(device.pointCount(type)));
    }
    for (uint32_t index = 0; index < identity.pointCounts[Outputs]; ++index) {
        if (device.isRelay(Outputs, static_cast<int32_t>(index))) {
            identity.relayOutputs.push_back(index);
        }
    }
    return identity;
}

}  // namespace

ModuleHolder::ModuleHolder(Daemon& daemon, std::string serial, std::string path)
    : daemon_(daemon),
      serial_(std::move(serial)),
      path_(std::move(path)),
      backoffMs_(daemon.options().reopenMinMs) {}

ModuleHolder::~ModuleHolder() {
    if (published_) {
        sd_bus_emit_object_removed(daemon_.bus(), path_.c_str());
    }
    sd_bus_slot_unref(slot_);
    cancelReopen();
    if (inhibitSource_ != nullptr) {
        sd_event_source_disable_unref(inhibitSource_);
    }
    if (inhibitFd_ >= 0) {
        ::close(inhibitFd_);
    }
    stopDevice();
}

int ModuleHolder::publish() {
    int r = sd_bus_add_object_vtable(daemon_.bus(), &slot_, path_.c_str(), kModuleInterface,
                                     kVtable, this);
    if (r < 0) {
        return r;
    }
    published_ = true;
    return sd_bus_emit_object_added(daemon_.bus(), path_.c_str());
}

bool ModuleHolder::healthy() const {
    return state_ != ModuleState::Running || opening_ || device_ == nullptr ||
           device_->status() == Ok;
}

void ModuleHolder::foundInApplication(const std::string& productString, const TicketRef& ticket) {
    productString_ = productString;
    switch (state_) {
        case ModuleState::Inhibited:
        case ModuleState::Running:
            return;
        case ModuleState::Bootloader:
            setState(ModuleState::Reopening);
            startOpen(ticket);
            return;
        case ModuleState::Reopening:
            // A module waiting out its back-off is left to its timer.
            if (opening_ || reopenTimer_ == nullptr) {
                startOpen(ticket);
            }
            return;
    }
}

void ModuleHolder::foundInBootloader(const std::string& productString) {
    productString_ = productString;
    if (state_ == ModuleState::Inhibited || state_ == ModuleState::Bootloader) {
        return;
    }
    cancelReopen();
    stopDevice();
    setState(ModuleState::Bootloader);
}

void ModuleHolder::startOpen(const TicketRef& ticket) {
    if (ticket) {
        tickets_.push_back(ticket);
    }
    if (opening_) {
        return;
    }
    cancelReopen();
    opening_ = true;
    stoppedWhileOpening_ = false;
    generation_ = daemon_.nextGeneration();
    sequence_ = 0;
    reported_.clear();
    auto device = std::make_shared<TavrikDevice>();
    device_ = device;
    Daemon* daemon = &daemon_;
    LoopQueue* queue = &daemon_.queue();
    const std::string serial = serial_;
    const uint64_t generation = generation_;
    daemon_.deviceWorker().post(serial_, [device, daemon, queue, serial, generation] {
        // Runs on the API thread: the events are queued in the order raised and stamped now.
        device->setEventCallback([daemon, queue, serial, generation](int32_t kind, int32_t type,
                                                                     int32_t index, int32_t value,
                                                                     TavrikDevice&) {
            const uint64_t timestamp = monotonicMicros();
            queue->post([=] {
                if (ModuleHolder* holder = daemon->module(serial)) {
                    holder->deviceEvent(generation, kind, type, index, value, timestamp);
                }
            });
        });
        // Every point and the module's own name: clients apply tavrik.ini themselves, at the
        // time of each command, so the service neither reads the file nor follows its edits.
        OpenOptions options;
        options.useConfigFile = false;
        int result = device->open(serial, options);
        ModuleIdentity identity;
        if (result == Ok) {
            identity = readIdentity(*device);
            result = device->start();
        }
        if (result != Ok) {
            device->close();
        }
        queue->post([daemon, serial, generation, result, identity] {
            if (ModuleHolder* holder = daemon->module(serial)) {
                holder->openDone(generation, result, identity);
            }
        });
    });
}

void ModuleHolder::openDone(uint64_t generation, int result, const ModuleIdentity& identity) {
    // A later opening or a close took over; that one closes the device.
    if (generation != generation_) {
        return;
    }
    opening_ = false;
    if (result == Ok && !stoppedWhileOpening_) {
        logLine(serial_ + ": opened");
        identity_ = identity;
        backoffMs_ = daemon_.options().reopenMinMs;
        setState(ModuleState::Running, true);
    } else {
        logLine(serial_ +
                ": cannot open: " + resultMessage(result == Ok ? ApiThreadStopped : result));
        stopDevice();
        setState(ModuleState::Reopening);
        scheduleReopen();
    }
    tickets_.clear();
}

void ModuleHolder::stopDevice(std::function<void()> afterClose) {
    generation_ = daemon_.nextGeneration();
    opening_ = false;
    tickets_.clear();
    std::shared_ptr<TavrikDevice> device = std::move(device_);
    device_.reset();
    if (!device && !afterClose) {
        return;
    }
    LoopQueue* queue = &daemon_.queue();
    daemon_.deviceWorker().post(serial_, [device, afterClose, queue] {
        if (device) {
            device->close();
        }
        if (afterClose) {
            queue->post(afterClose);
        }
    });
}

void ModuleHolder::scheduleReopen() {
    cancelReopen();
    const uint64_t delayUs = static_cast<uint64_t>(backoffMs_) * 1000u;
    backoffMs_ = std::min(backoffMs_ * 2, daemon_.options().reopenMaxMs);
    sd_event_add_time_relative(daemon_.event(), &reopenTimer_, CLOCK_MONOTONIC, delayUs, 0,
                               &ModuleHolder::onReopenTimer, this);
}

void ModuleHolder::cancelReopen() {
    reopenTimer_ = sd_event_source_disable_unref(reopenTimer_);
}

int ModuleHolder::onReopenTimer(sd_event_source*, uint64_t, void* self) {
    auto* holder = static_cast<ModuleHolder*>(self);
    holder->cancelReopen();
    if (holder->state_ == ModuleState::Reopening) {
        holder->startOpen(nullptr);
    }
    return 0;
}

void ModuleHolder::deviceEvent(uint64_t generation, int32_t kind, int32_t type, int32_t index,
                               int32_t value, uint64_t timestampUs) {
    if (generation != generation_) {
        return;
    }
    ++sequence_;
    if (kind == kEventIo) {
        const int initial = reported_.insert({type, index}).second ? 1 : 0;
        emitSignal("PointChanged", "uuibtt", static_cast<uint32_t>(type),
                   static_cast<uint32_t>(index), value, initial, sequence_, timestampUs);
    } else if (kind == kEventError) {
        emitSignal("Error", "istt", value, resultMessage(value).c_str(), sequence_, timestampUs);
        if (value == ApiThreadStopped) {
            apiThreadStopped();
        }
    }
}

void ModuleHolder::apiThreadStopped() {
    if (opening_) {
        stoppedWhileOpening_ = true;
        return;
    }
    logLine(serial_ + ": stopped answering");
    stopDevice();
    setState(ModuleState::Reopening);
    scheduleReopen();
}

void ModuleHolder::setState(ModuleState state, bool identityChanged) {
    const bool stateChanged = state != state_;
    state_ = state;
    if (!published_) {
        return;
    }
    if (identityChanged) {
        sd_bus_emit_properties_changed(daemon_.bus(), path_.c_str(), kModuleInterface, "State",
                                       "InfoSerial", "Name", "ProductString", "TypeText",
                                       "FirmwareVersion", "HardwareVersion", "WatchdogTime",
                                       "PointCounts", "RelayOutputs", "IdentityBytes", nullptr);
    } else if (stateChanged) {
        sd_bus_emit_properties_changed(daemon_.bus(), path_.c_str(), kModuleInterface, "State",
                                       nullptr);
    }
    if (stateChanged) {
        logLine(serial_ + ": " + stateText(state));
    }
}

void ModuleHolder::emitSignal(const char* member, const char* types, ...) {
    if (!published_) {
        return;
    }
    va_list args;
    va_start(args, types);
    sd_bus_emit_signalv(daemon_.bus(), path_.c_str(), kModuleInterface, member, types, args);
    va_end(args);
}

}  // namespace tavrik::daemon
