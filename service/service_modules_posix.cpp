// One connection for both: the monitor's thread reads the states between the loop's runs.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <vector>

#include "service_bus.h"
#include "service_modules.h"

namespace tavrik {

namespace {

// The service's own signals of its modules: ObjectManager's arrivals and departures, and the
// modules' PropertiesChanged; not their PointChanged, which say nothing of their presence.
constexpr char kObjectsRule[] =
    "type='signal',sender='io.tavrik1',path='/io/tavrik1',"
    "interface='org.freedesktop.DBus.ObjectManager'";
constexpr char kPropertiesRule[] =
    "type='signal',sender='io.tavrik1',path_namespace='/io/tavrik1/module',"
    "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'";

}  // namespace

struct ServiceModules::Impl {
    sd_bus* bus = nullptr;
    sd_bus_slot* matches[3] = {};
    std::function<void()> changed;

    static int onSignal(sd_bus_message*, void* self, sd_bus_error*) {
        static_cast<Impl*>(self)->changed();
        return 0;
    }
};

ServiceModules::ServiceModules() : impl_(std::make_unique<Impl>()) {
    if (bus::openServiceBus(&impl_->bus) < 0) {
        impl_->bus = nullptr;
    }
}

ServiceModules::~ServiceModules() {
    for (sd_bus_slot*& slot : impl_->matches) {
        slot = sd_bus_slot_unref(slot);
    }
    if (impl_->bus != nullptr) {
        sd_bus_detach_event(impl_->bus);
        sd_bus_flush_close_unref(impl_->bus);
    }
}

std::optional<std::set<std::string>> ServiceModules::running() {
    std::vector<bus::ModuleProperties> modules;
    if (impl_->bus == nullptr || bus::readRunningModules(impl_->bus, modules) < 0) {
        return std::nullopt;
    }
    std::set<std::string> running;
    for (const bus::ModuleProperties& module : modules) {
        running.insert(module.serial);
    }
    return running;
}

int ServiceModules::follow(sd_event* event, std::function<void()> changed) {
    Impl& d = *impl_;
    if (d.bus == nullptr) {
        return -ENOTCONN;
    }
    d.changed = std::move(changed);
    const char* rules[] = {kObjectsRule, kPropertiesRule, bus::kOwnerRule};
    int r = 0;
    for (size_t i = 0; i < 3 && r >= 0; ++i) {
        r = sd_bus_add_match(d.bus, &d.matches[i], rules[i], &Impl::onSignal, &d);
    }
    if (r >= 0) {
        r = sd_bus_attach_event(d.bus, event, SD_EVENT_PRIORITY_NORMAL);
    }
    return r;
}

}  // namespace tavrik
