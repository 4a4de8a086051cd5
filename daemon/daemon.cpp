#include "daemon.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <set>

#include "daemon_log.h"
#include "module_scan.h"
#include "tavrik/version.h"

namespace tavrik::daemon {

namespace {

std::string modulePath(const std::string& serial) {
    char* path = nullptr;
    if (sd_bus_path_encode(kModulePathPrefix, serial.c_str(), &path) < 0) {
        return "";
    }
    std::string text = path;
    free(path);
    return text;
}

std::string errnoText(int r) {
    return std::strerror(r < 0 ? -r : r);
}

// After a hotplug event: udev tells of the node before it can always be opened.
constexpr uint64_t kSoonUs = 200 * 1000;

}  // namespace

const sd_bus_vtable Daemon::kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "s", &Daemon::version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD_WITH_ARGS("Rescan", SD_BUS_NO_ARGS, SD_BUS_NO_RESULT, &Daemon::rescan,
                            SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

Daemon::Daemon(const DaemonOptions& options, bool useUdev) : options_(options), useUdev_(useUdev) {}

Daemon::~Daemon() {
    shutDown();
}

ModuleHolder* Daemon::module(const std::string& serial) {
    auto found = modules_.find(serial);
    return found == modules_.end() ? nullptr : found->second.get();
}

int Daemon::connect() {
    int r = 0;
    switch (options_.bus) {
        case DaemonOptions::Bus::System:
            r = sd_bus_open_system(&bus_);
            break;
        case DaemonOptions::Bus::Session:
            r = sd_bus_open_user(&bus_);
            break;
        case DaemonOptions::Bus::Address:
            r = sd_bus_new(&bus_);
            if (r >= 0) {
                r = sd_bus_set_address(bus_, options_.address.c_str());
            }
            if (r >= 0) {
                r = sd_bus_set_bus_client(bus_, 1);
            }
            if (r >= 0) {
                r = sd_bus_start(bus_);
            }
            break;
    }
    return r;
}

int Daemon::setUp() {
    int r = sd_event_new(&event_);
    if (r < 0) {
        logLine("cannot make the event loop: " + errnoText(r));
        return r;
    }
    r = queue_.attach(event_);
    if (r < 0) {
        logLine("cannot make the loop's queue: " + errnoText(r));
        return r;
    }
    r = connect();
    if (r < 0) {
        logLine("cannot connect to the bus: " + errnoText(r));
        return r;
    }
    r = sd_bus_attach_event(bus_, event_, SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) {
        r = sd_bus_add_object_manager(bus_, &objectManager_, kRootPath);
    }
    if (r >= 0) {
        r = sd_bus_add_object_vtable(bus_, &manager_, kRootPath, kManagerInterface, kManagerVtable,
                                     this);
    }
    if (r < 0) {
        logLine("cannot serve the objects: " + errnoText(r));
        return r;
    }
    r = sd_bus_request_name(bus_, kBusName, 0);
    if (r < 0) {
        logLine(std::string("cannot own the name ") + kBusName + ": " + errnoText(r));
        return r;
    }
    for (int signal : {SIGTERM, SIGINT}) {
        r = sd_event_add_signal(event_, nullptr, signal, &Daemon::onSignal, this);
        if (r < 0) {
            logLine("cannot handle signals: " + errnoText(r));
            return r;
        }
    }
    r = sd_event_add_time_relative(event_, &rescanTimer_, CLOCK_MONOTONIC,
                                   static_cast<uint64_t>(options_.rescanMs) * 1000u, 0,
                                   &Daemon::onRescanTimer, this);
    if (r >= 0 && sd_watchdog_enabled(0, &watchdogUs_) > 0) {
        r = sd_event_add_time_relative(event_, &watchdogTimer_, CLOCK_MONOTONIC, watchdogUs_ / 2, 0,
                                       &Daemon::onWatchdogTimer, this);
    }
    if (r < 0) {
        logLine("cannot set the timers: " + errnoText(r));
        return r;
    }
    if (useUdev_) {
        const int monitored = hotplug_.start(event_, [this] { scanSoon(); });
        if (monitored < 0) {
            logLine("no udev events (" + errnoText(monitored) + "): periodic scans only");
        }
    }
    return 0;
}

int Daemon::run() {
    if (setUp() < 0) {
        shutDown();
        return 1;
    }
    logLine(std::string("version ") + TAVRIK_VERSION + " on the bus as " + kBusName);
    scan(std::make_shared<ScanTicket>([] {
        logLine("ready");
        sd_notify(0, "READY=1");
    }));
    const int r = sd_event_loop(event_);
    shutDown();
    if (r < 0) {
        logLine("the event loop failed: " + errnoText(r));
        return 1;
    }
    return 0;
}

void Daemon::shutDown() {
    // Every module closed before the name goes, so that a successor can open them at once.
    modules_.clear();
    deviceWorker_.stop();
    waitWorker_.stop();
    queue_.discard();
    hotplug_.stop();
    rescanTimer_ = sd_event_source_disable_unref(rescanTimer_);
    watchdogTimer_ = sd_event_source_disable_unref(watchdogTimer_);
    soonTimer_ = sd_event_source_disable_unref(soonTimer_);
    manager_ = sd_bus_slot_unref(manager_);
    objectManager_ = sd_bus_slot_unref(objectManager_);
    if (bus_ != nullptr) {
        sd_bus_release_name(bus_, kBusName);
        sd_bus_flush(bus_);
        bus_ = sd_bus_flush_close_unref(bus_);
    }
    event_ = sd_event_unref(event_);
}

void Daemon::scan(const TicketRef& ticket) {
    const std::map<std::string, FoundModule> found = scanModules();
    for (const auto& [serial, module] : found) {
        ModuleHolder* holder = this->module(serial);
        const bool added = holder == nullptr;
        if (added) {
            const std::string path = modulePath(serial);
            if (path.empty()) {
                continue;
            }
            logLine(serial + ": attached");
            holder = modules_.emplace(serial, std::make_unique<ModuleHolder>(*this, serial, path))
                         .first->second.get();
        }
        if (module.bootloader) {
            holder->foundInBootloader(module.productString);
        } else {
            holder->foundInApplication(module.productString, ticket);
        }
        if (added) {
            const int r = holder->publish();
            if (r < 0) {
                logLine(serial + ": cannot publish: " + errnoText(r));
            }
        }
    }
    for (auto it = modules_.begin(); it != modules_.end();) {
        if (found.count(it->first) == 0 && !it->second->keepWhenGone()) {
            logLine(it->first + ": gone");
            it = modules_.erase(it);
        } else {
            ++it;
        }
    }
}

void Daemon::scanSoon() {
    if (soonTimer_ != nullptr) {
        return;
    }
    const int r = sd_event_add_time_relative(event_, &soonTimer_, CLOCK_MONOTONIC, kSoonUs, 0,
                                             &Daemon::onSoonTimer, this);
    if (r < 0) {
        logLine("cannot schedule a scan: " + errnoText(r));
    }
}

bool Daemon::healthy() const {
    for (const auto& entry : modules_) {
        if (!entry.second->healthy()) {
            return false;
        }
    }
    return true;
}

int Daemon::version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                    sd_bus_error*) {
    return sd_bus_message_append(reply, "s", TAVRIK_VERSION);
}

int Daemon::rescan(sd_bus_message* call, void* self, sd_bus_error*) {
    auto reply = std::make_shared<PendingReply>(call);
    static_cast<Daemon*>(self)->scan(std::make_shared<ScanTicket>([reply] { reply->finish(0); }));
    return 1;
}

int Daemon::onSignal(sd_event_source*, const struct signalfd_siginfo*, void* self) {
    logLine("stopping");
    sd_notify(0, "STOPPING=1");
    sd_event_exit(static_cast<Daemon*>(self)->event_, 0);
    return 0;
}

int Daemon::onRescanTimer(sd_event_source* source, uint64_t, void* self) {
    auto* daemon = static_cast<Daemon*>(self);
    daemon->scan(nullptr);
    sd_event_source_set_time_relative(source,
                                      static_cast<uint64_t>(daemon->options_.rescanMs) * 1000u);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    return 0;
}

int Daemon::onWatchdogTimer(sd_event_source* source, uint64_t, void* self) {
    auto* daemon = static_cast<Daemon*>(self);
    // Only while the loop runs and every running module's API thread does too.
    if (daemon->healthy()) {
        sd_notify(0, "WATCHDOG=1");
    }
    sd_event_source_set_time_relative(source, daemon->watchdogUs_ / 2);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    return 0;
}

int Daemon::onSoonTimer(sd_event_source*, uint64_t, void* self) {
    auto* daemon = static_cast<Daemon*>(self);
    daemon->soonTimer_ = sd_event_source_disable_unref(daemon->soonTimer_);
    daemon->scan(nullptr);
    return 0;
}

}  // namespace tavrik::daemon
