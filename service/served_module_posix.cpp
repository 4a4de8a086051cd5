// The service's clients over sd-bus. Each served module has a connection of its own, guarded
// by one lock; once started, a thread of its own reads the signals and delivers the events
// outside that lock, so that the sink may call back in.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "bus_names.h"
#include "bus_replies.h"
#include "config_file.h"
#include "served_module.h"
#include "service_bus.h"

namespace tavrik {

namespace {

// Inhibit returns once the service has closed the module, after its last exchange.
constexpr uint64_t kInhibitTimeoutUs = 10000000;

std::string modulePath(const std::string& serial) {
    char* path = nullptr;
    if (sd_bus_path_encode(bus::kModulePathPrefix, serial.c_str(), &path) < 0) {
        return std::string();
    }
    std::string text = path;
    std::free(path);
    return text;
}

int callResult(int r, const sd_bus_error& error) {
    if (r >= 0) {
        return Ok;
    }
    return sd_bus_error_is_set(&error) ? bus::resultOfErrorName(error.name) : CommunicationTimeout;
}

struct QueuedEvent {
    int32_t kind;
    uint32_t type;
    uint32_t index;
    int32_t value;
};

thread_local const void* listenerOf = nullptr;

}  // namespace

std::map<std::string, std::string> servedTypeTexts() {
    std::map<std::string, std::string> types;
    sd_bus* bus = nullptr;
    std::vector<bus::ModuleProperties> modules;
    if (bus::openServiceBus(&bus) >= 0 && bus::readRunningModules(bus, modules) >= 0) {
        for (const bus::ModuleProperties& module : modules) {
            types[module.serial] = module.typeText;
        }
    }
    sd_bus_flush_close_unref(bus);
    return types;
}

struct ServedModule::Impl {
    // Guards the connection and everything its handlers touch (they run inside its calls).
    mutable std::mutex busLock;
    std::condition_variable answered;  // a SetValue reply came, or the events ended
    sd_bus* bus = nullptr;
    std::string path;
    bus::ModuleProperties properties;
    std::string name;
    int32_t configIndex = -1;
    std::array<size_t, kIoTypeCount> counts{};
    size_t pendingWrites = 0;
    int writeResult = Ok;  // the first failed write since the last wait
    std::deque<QueuedEvent> queued;
    bool ended = false;  // the service's module stopped, or the service went away
    int stopResult = Ok;
    sd_bus_slot* matches[4] = {};

    std::mutex sinkLock;
    ServedEventSink sink;
    std::mutex lifecycleLock;
    std::thread listener;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    std::atomic<int> status{DeviceNotOpen};

    void wake() const {
        if (wakeFd >= 0) {
            const uint64_t one = 1;
            (void)!::write(wakeFd, &one, sizeof one);
        }
    }

    // Under busLock, from a handler: the events end with this failure.
    void end(int failure) {
        if (ended) {
            return;
        }
        ended = true;
        stopResult = failure;
        if (failure != ApiThreadStopped) {
            queued.push_back({kEventError, kIoTypeCount, 0, failure});
        }
        queued.push_back({kEventError, kIoTypeCount, 0, ApiThreadStopped});
        answered.notify_all();
    }

    static int onPointChanged(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* impl = static_cast<Impl*>(self);
        uint32_t type = 0;
        uint32_t index = 0;
        int32_t value = 0;
        int initial = 0;
        if (sd_bus_message_read(m, "uuib", &type, &index, &value, &initial) < 0 || impl->ended) {
            return 0;
        }
        // A report after the service reopened the module is no change; hidden points stay so.
        if (initial == 0 && type < kIoTypeCount && index < impl->counts[type]) {
            impl->queued.push_back({kEventIo, type, index, value});
        }
        return 0;
    }

    static int onError(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* impl = static_cast<Impl*>(self);
        int32_t code = 0;
        if (sd_bus_message_read(m, "i", &code) < 0 || impl->ended) {
            return 0;
        }
        if (code == ApiThreadStopped) {
            impl->end(ApiThreadStopped);
        } else {
            impl->queued.push_back({kEventError, kIoTypeCount, 0, code});
        }
        return 0;
    }

    // The service closed the module (an inhibit, its own end) without an error of the module.
    static int onPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* impl = static_cast<Impl*>(self);
        const char* interface = nullptr;
        bus::ModuleProperties changed;
        if (sd_bus_message_read(m, "s", &interface) < 0 ||
            std::string(interface) != bus::kModuleInterface ||
            bus::readModuleProperties(m, changed) < 0) {
            return 0;
        }
        if (!changed.state.empty() && changed.state != bus::kStateRunning) {
            impl->end(ApiThreadStopped);
        }
        return 0;
    }

    static int onOwnerChanged(sd_bus_message*, void* self, sd_bus_error*) {
        static_cast<Impl*>(self)->end(CommunicationTimeout);
        return 0;
    }

    static int onSetReply(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* impl = static_cast<Impl*>(self);
        const sd_bus_error* error = sd_bus_message_get_error(m);
        if (error != nullptr && impl->writeResult == Ok) {
            impl->writeResult = bus::resultOfErrorName(error->name ? error->name : "");
        }
        if (impl->pendingWrites > 0) {
            --impl->pendingWrites;
        }
        impl->answered.notify_all();
        return 0;
    }

    // Under busLock: runs the handlers of what has come in. A broken connection ends events.
    void process() {
        int r = 0;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        if (r < 0) {
            end(CommunicationTimeout);
        }
    }

    void deliver() {
        std::deque<QueuedEvent> events;
        {
            std::lock_guard<std::mutex> lock(busLock);
            events.swap(queued);
        }
        for (const QueuedEvent& e : events) {
            if (stopping) {
                return;
            }
            std::lock_guard<std::mutex> lock(sinkLock);
            if (sink) {
                sink(e.kind, e.type, e.index, e.value);
            }
        }
    }

    void listen() {
        listenerOf = this;
        deliver();  // the first reports
        for (;;) {
            pollfd fds[2] = {};
            int timeoutMs = -1;
            {
                std::lock_guard<std::mutex> lock(busLock);
                if (ended) {
                    running = false;
                    status = ApiThreadStopped;
                }
                if (ended || stopping) {
                    break;
                }
                fds[0].fd = sd_bus_get_fd(bus);
                fds[0].events = static_cast<short>(sd_bus_get_events(bus));
                uint64_t until = 0;
                if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                           static_cast<uint64_t>(now.tv_nsec) / 1000u;
                    timeoutMs = until > nowUs ? static_cast<int>((until - nowUs + 999) / 1000) : 0;
                }
            }
            fds[1].fd = wakeFd;
            fds[1].events = POLLIN;
            ::poll(fds, 2, timeoutMs);
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                (void)!::read(wakeFd, &count, sizeof count);
            }
            {
                std::lock_guard<std::mutex> lock(busLock);
                process();
            }
            deliver();
        }
        // The events ended while running: their last one is delivered; after a close from the
        // sink none follows.
        if (!stopping) {
            deliver();
        }
        listenerOf = nullptr;
    }

    // An identity text while open; empty when closed.
    std::string text(std::string bus::ModuleProperties::*field) const {
        std::lock_guard<std::mutex> lock(busLock);
        return bus ? properties.*field : std::string();
    }

    void releaseBus() {
        std::lock_guard<std::mutex> lock(busLock);
        for (sd_bus_slot*& slot : matches) {
            slot = sd_bus_slot_unref(slot);
        }
        bus = sd_bus_flush_close_unref(bus);
        pendingWrites = 0;
    }
};

ServedModule::ServedModule() : impl_(std::make_unique<Impl>()) {}

ServedModule::~ServedModule() {
    setEventSink(nullptr);
    close();
}

int ServedModule::open(const std::string& serial) {
    close();
    Impl& d = *impl_;
    sd_bus* bus = nullptr;
    const std::string path = modulePath(serial);
    if (path.empty() || bus::openServiceBus(&bus) < 0) {
        return DeviceBusy;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    bus::ModuleProperties properties;
    const int r =
        sd_bus_call_method(bus, bus::kBusName, path.c_str(), "org.freedesktop.DBus.Properties",
                           "GetAll", &error, &reply, "s", bus::kModuleInterface);
    const bool served = r >= 0 && bus::readModuleProperties(reply, properties) >= 0 &&
                        properties.state == bus::kStateRunning &&
                        properties.pointCounts.size() == kIoTypeCount;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (!served) {
        sd_bus_flush_close_unref(bus);
        return DeviceBusy;
    }

    // tavrik.ini as it stands now, as a direct open reads it.
    const ConfigFile config(kConfigFileName);
    const int32_t index = config.findIndex(properties.infoSerial);
    const ModuleSettings settings = config.readModuleSettings(index);
    std::lock_guard<std::mutex> lock(d.busLock);
    d.bus = bus;
    d.path = path;
    d.configIndex = index;
    d.name = displayName(settings.name, properties.name, properties.productString);
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const int32_t limit = settings.limits[type];
        const size_t count = properties.pointCounts[type];
        d.counts[type] =
            limit >= 0 && static_cast<size_t>(limit) <= count ? static_cast<size_t>(limit) : count;
    }
    d.properties = std::move(properties);
    d.ended = false;
    d.stopResult = Ok;
    d.writeResult = Ok;
    d.queued.clear();
    d.stopping = false;
    d.status = ApiThreadStopped;
    return Ok;
}

int ServedModule::start() {
    Impl& d = *impl_;
    if (listenerOf == &d) {
        return d.status;
    }
    std::lock_guard<std::mutex> lifecycle(d.lifecycleLock);
    if (d.status != ApiThreadStopped) {
        return d.status;
    }
    if (d.listener.joinable()) {
        d.listener.join();
    }
    {
        std::lock_guard<std::mutex> lock(d.busLock);
        if (d.ended) {
            return d.stopResult;
        }
        const char* path = d.path.c_str();
        int r =
            sd_bus_match_signal(d.bus, &d.matches[0], bus::kBusName, path, bus::kModuleInterface,
                                "PointChanged", &Impl::onPointChanged, &d);
        if (r >= 0) {
            r = sd_bus_match_signal(d.bus, &d.matches[1], bus::kBusName, path,
                                    bus::kModuleInterface, "Error", &Impl::onError, &d);
        }
        if (r >= 0) {
            r = sd_bus_match_signal(d.bus, &d.matches[2], bus::kBusName, path,
                                    "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                    &Impl::onPropertiesChanged, &d);
        }
        if (r >= 0) {
            r = sd_bus_add_match(d.bus, &d.matches[3], bus::kOwnerRule, &Impl::onOwnerChanged, &d);
        }
        // Subscribed first, then the state: no change falls between the two.
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        TavrikPointValues values;
        if (r >= 0) {
            r = sd_bus_call_method(d.bus, bus::kBusName, path, bus::kModuleInterface, "GetValues",
                                   &error, &reply, "");
        }
        const int result = callResult(r, error);
        if (result == Ok && bus::readPointValues(reply, values) >= 0) {
            for (uint32_t type = 0; type < kIoTypeCount; ++type) {
                for (size_t i = 0; !isWritableType(type) && i < d.counts[type]; ++i) {
                    if (i < values[type].size()) {
                        d.queued.push_back(
                            {kEventIo, type, static_cast<uint32_t>(i), values[type][i]});
                    }
                }
            }
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (result != Ok) {
            for (sd_bus_slot*& slot : d.matches) {
                slot = sd_bus_slot_unref(slot);
            }
            d.queued.clear();
            return result;
        }
    }
    if (d.wakeFd < 0) {
        d.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    d.stopping = false;
    d.running = true;
    d.status = Ok;
    d.listener = std::thread(&Impl::listen, &d);
    return Ok;
}

void ServedModule::close() {
    Impl& d = *impl_;
    if (listenerOf == &d) {
        // From the sink: no event follows this one, and the listener ends after it.
        d.stopping = true;
        d.status = DeviceNotOpen;
        return;
    }
    std::lock_guard<std::mutex> lifecycle(d.lifecycleLock);
    if (d.listener.joinable()) {
        if (d.running) {
            // As the API thread's end: its last event, then nothing.
            {
                std::lock_guard<std::mutex> lock(d.busLock);
                d.end(ApiThreadStopped);
            }
            d.wake();
        }
        d.listener.join();
    }
    d.running = false;
    d.releaseBus();
    if (d.wakeFd >= 0) {
        ::close(d.wakeFd);
        d.wakeFd = -1;
    }
    d.status = DeviceNotOpen;
}

std::string ServedModule::name() const {
    std::lock_guard<std::mutex> lock(impl_->busLock);
    return impl_->bus ? impl_->name : std::string();
}

std::string ServedModule::serial() const {
    return impl_->text(&bus::ModuleProperties::infoSerial);
}

std::string ServedModule::typeText() const {
    return impl_->text(&bus::ModuleProperties::typeText);
}

std::string ServedModule::firmwareVersion() const {
    return impl_->text(&bus::ModuleProperties::firmwareVersion);
}

std::string ServedModule::hardwareVersion() const {
    return impl_->text(&bus::ModuleProperties::hardwareVersion);
}

int32_t ServedModule::configIndex() const {
    std::lock_guard<std::mutex> lock(impl_->busLock);
    return impl_->bus ? impl_->configIndex : -1;
}

int64_t ServedModule::watchdogTime() const {
    std::lock_guard<std::mutex> lock(impl_->busLock);
    return impl_->bus ? impl_->properties.watchdogTime : 0;
}

int ServedModule::status() const {
    return impl_->status;
}

size_t ServedModule::pointCount(uint32_t type) const {
    std::lock_guard<std::mutex> lock(impl_->busLock);
    return impl_->bus && type < kIoTypeCount ? impl_->counts[type] : 0;
}

bool ServedModule::isRelay(uint32_t type, int32_t index) const {
    std::lock_guard<std::mutex> lock(impl_->busLock);
    if (impl_->bus == nullptr || type != Outputs || index < 0 ||
        static_cast<size_t>(index) >= impl_->counts[Outputs]) {
        return false;
    }
    const std::vector<uint32_t>& relays = impl_->properties.relayOutputs;
    return std::find(relays.begin(), relays.end(), static_cast<uint32_t>(index)) != relays.end();
}

int ServedModule::getValue(uint32_t type, int32_t index) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.busLock);
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    if (type >= kIoTypeCount || index < 0 || static_cast<size_t>(index) >= d.counts[type]) {
        return IoPointOutOfRange;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r =
        sd_bus_call_method(d.bus, bus::kBusName, d.path.c_str(), bus::kModuleInterface, "GetValue",
                           &error, &reply, "uu", type, static_cast<uint32_t>(index));
    int32_t value = 0;
    if (r >= 0) {
        r = sd_bus_message_read(reply, "i", &value);
    }
    const int result = callResult(r, error);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    d.wake();  // the call may have read signals that the listener is to handle
    return result == Ok ? value : result;
}

int ServedModule::setValue(uint32_t type, int32_t index, int32_t value) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.busLock);
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    if (type >= kIoTypeCount || index < 0 || static_cast<size_t>(index) >= d.counts[type]) {
        return IoPointOutOfRange;
    }
    const int check = checkWriteValue(type, value);
    if (check != Ok) {
        return check;
    }
    const int r = sd_bus_call_method_async(d.bus, nullptr, bus::kBusName, d.path.c_str(),
                                           bus::kModuleInterface, "SetValue", &Impl::onSetReply, &d,
                                           "uui", type, static_cast<uint32_t>(index), value);
    if (r < 0) {
        return CommunicationTimeout;
    }
    ++d.pendingWrites;
    d.wake();
    return Ok;
}

int ServedModule::getValues(TavrikPointValues& values) {
    Impl& d = *impl_;
    for (std::vector<int32_t>& list : values) {
        list.clear();
    }
    std::lock_guard<std::mutex> lock(d.busLock);
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(d.bus, bus::kBusName, d.path.c_str(), bus::kModuleInterface,
                               "GetValues", &error, &reply, "");
    if (r >= 0) {
        r = bus::readPointValues(reply, values);
    }
    const int result = callResult(r, error);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    d.wake();
    if (result != Ok) {
        for (std::vector<int32_t>& list : values) {
            list.clear();
        }
        return result;
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        if (values[type].size() > d.counts[type]) {
            values[type].resize(d.counts[type]);
        }
    }
    return Ok;
}

int ServedModule::setValues(const std::vector<TavrikPointWrite>& writes) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.busLock);
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    for (const TavrikPointWrite& w : writes) {
        if (w.type >= kIoTypeCount || w.index < 0 ||
            static_cast<size_t>(w.index) >= d.counts[w.type]) {
            return IoPointOutOfRange;
        }
        const int check = checkWriteValue(w.type, w.value);
        if (check != Ok) {
            return check;
        }
    }
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(d.bus, &call, bus::kBusName, d.path.c_str(),
                                           bus::kModuleInterface, "SetValues");
    if (r >= 0) {
        r = sd_bus_message_open_container(call, 'a', "(uui)");
    }
    for (size_t i = 0; r >= 0 && i < writes.size(); ++i) {
        r = sd_bus_message_append(call, "(uui)", writes[i].type,
                                  static_cast<uint32_t>(writes[i].index), writes[i].value);
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(call);
    }
    if (r >= 0) {
        r = sd_bus_call_async(d.bus, nullptr, call, &Impl::onSetReply, &d, 0);
    }
    sd_bus_message_unref(call);
    if (r < 0) {
        return CommunicationTimeout;
    }
    ++d.pendingWrites;
    d.wake();
    return Ok;
}

int ServedModule::waitForExchange(int timeoutMs) {
    Impl& d = *impl_;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(d.busLock);
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    // With the listener running it reads the replies; otherwise this thread does.
    const bool listened = d.running && listenerOf != &d;
    while (d.pendingWrites > 0 && d.bus != nullptr) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return CommunicationTimeout;
        }
        if (listened) {
            d.answered.wait_until(lock, deadline);
            continue;
        }
        d.process();
        if (d.pendingWrites > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
            sd_bus_wait(d.bus, static_cast<uint64_t>(left.count()));
        }
    }
    if (d.bus == nullptr) {
        return DeviceNotOpen;
    }
    const int result = d.writeResult;
    d.writeResult = Ok;
    if (result != Ok) {
        return result;
    }
    return d.ended ? d.stopResult : Ok;
}

void ServedModule::setEventSink(ServedEventSink sink) {
    if (listenerOf == impl_.get()) {
        impl_->sink = std::move(sink);  // the listener holds sinkLock while it calls the sink
        return;
    }
    std::lock_guard<std::mutex> lock(impl_->sinkLock);
    impl_->sink = std::move(sink);
}

int ServiceInhibit::take(const std::string& serial, const std::string& reason) {
    sd_bus* bus = nullptr;
    const std::string path = modulePath(serial);
    if (path.empty() || bus::openServiceBus(&bus) < 0) {
        return UnableToOpenDevice;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, bus::kBusName, path.c_str(),
                                           bus::kModuleInterface, "Inhibit");
    if (r >= 0) {
        r = sd_bus_message_append(call, "s", reason.c_str());
    }
    if (r >= 0) {
        r = sd_bus_call(bus, call, kInhibitTimeoutUs, &error, &reply);
    }
    int fd = -1;
    if (r >= 0) {
        r = sd_bus_message_read(reply, "h", &fd);
    }
    int result = UnableToOpenDevice;
    if (r >= 0) {
        fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        result = fd_ >= 0 ? Ok : UnableToOpenDevice;
    } else if (sd_bus_error_is_set(&error) && bus::resultOfErrorName(error.name) == DeviceBusy) {
        result = DeviceBusy;
    }
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return result;
}

ServiceInhibit::~ServiceInhibit() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace tavrik
