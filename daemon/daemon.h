// The service: the bus connection and loop, the Manager object, the scans and the modules.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "bus_names.h"
#include "hotplug_monitor.h"
#include "loop_queue.h"
#include "module_holder.h"
#include "options.h"
#include "worker.h"

namespace tavrik::daemon {

using bus::kBusName;
using bus::kManagerInterface;
using bus::kModuleInterface;
using bus::kModulePathPrefix;
using bus::kRootPath;

// How long SetValue and SetValues wait for the module to take the value.
constexpr int kExchangeWaitMs = 2000;

// Modules opened or closed at once; more than a host usually holds.
constexpr size_t kDeviceThreads = 8;

class Daemon {
  public:
    // useUdev: follow hidraw arrivals and departures as well as scanning periodically.
    Daemon(const DaemonOptions& options, bool useUdev);
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    ~Daemon();

    // Runs until SIGTERM or SIGINT; returns the exit status.
    int run();

    sd_bus* bus() const { return bus_; }
    sd_event* event() const { return event_; }
    LoopQueue& queue() { return queue_; }
    // Opens and closes, keyed by serial number: one module's close always precedes its
    // reopening, and different modules do not wait for each other.
    Worker& deviceWorker() { return deviceWorker_; }
    // Waits for exchanges, several at once.
    Worker& waitWorker() { return waitWorker_; }
    const DaemonOptions& options() const { return options_; }
    uint64_t nextGeneration() { return ++generations_; }

    ModuleHolder* module(const std::string& serial);
    // Brings the modules in line with what is attached; ticket, if any, is released once the
    // openings this starts have ended.
    void scan(const TicketRef& ticket);
    // A scan soon, without waiting (after a hotplug event or an inhibitor's release).
    void scanSoon();

  private:
    int connect();
    int setUp();
    void shutDown();
    bool healthy() const;
    static int version(sd_bus* bus, const char* path, const char* interface, const char* property,
                       sd_bus_message* reply, void* self, sd_bus_error* error);
    static int rescan(sd_bus_message* call, void* self, sd_bus_error* error);
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* self);
    static int onRescanTimer(sd_event_source* source, uint64_t usec, void* self);
    static int onWatchdogTimer(sd_event_source* source, uint64_t usec, void* self);
    static int onSoonTimer(sd_event_source* source, uint64_t usec, void* self);
    static const sd_bus_vtable kManagerVtable[];

    const DaemonOptions options_;
    const bool useUdev_;
    sd_event* event_ = nullptr;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* objectManager_ = nullptr;
    sd_bus_slot* manager_ = nullptr;
    sd_event_source* rescanTimer_ = nullptr;
    sd_event_source* watchdogTimer_ = nullptr;
    sd_event_source* soonTimer_ = nullptr;
    uint64_t watchdogUs_ = 0;
    LoopQueue queue_;
    Worker deviceWorker_{kDeviceThreads};
    Worker waitWorker_{4};
    HotplugMonitor hotplug_;
    uint64_t generations_ = 0;
    std::map<std::string, std::unique_ptr<ModuleHolder>> modules_;
};

}  // namespace tavrik::daemon
