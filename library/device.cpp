// The public device: the internal device object behind a pointer, so that the ABI does not
// depend on it. A module that tavrikd holds is used through the service instead, with the same
// results.
#include <set>
#include <utility>

#include "pull_queue.h"
#include "served_module.h"
#include "tavrik/tavrik.h"
#include "tavrik_device.h"

namespace tavrik {

struct Device::Impl {
    // Before the device and the service client, so that it outlives their threads.
    PullQueue<EventRecord> queue{kDefaultEventQueueCapacity};
    // Under the queue's lock: the points reported since open, and the last sequence number.
    std::set<std::pair<uint32_t, uint32_t>> reported;
    uint64_t sequence = 0;
    TavrikDevice device;
    ServedModule served;
    bool viaService = false;  // set by open, which no other call may overlap

    Impl() { setCallback(nullptr); }

    // Every event goes into the queue, then to the caller's callback if there is one.
    void setCallback(EventCallback callback) {
        auto deliver = [this, callback = std::move(callback)](int32_t kind, int32_t type,
                                                              int32_t index, int32_t value) {
            EventRecord record;
            record.event.kind = kind;
            record.event.type = static_cast<uint32_t>(type);
            record.event.index = static_cast<uint32_t>(index);
            record.event.value = value;
            record.timestamp = std::chrono::steady_clock::now();
            queue.push(record, [this](EventRecord& r) {
                r.sequence = ++sequence;
                r.initial = r.event.kind == Event::Io &&
                            reported.insert({r.event.type, r.event.index}).second;
            });
            if (callback) {
                callback(record.event);
            }
        };
        served.setEventSink(deliver);
        device.setEventCallback(
            [deliver = std::move(deliver)](int32_t kind, int32_t type, int32_t index, int32_t value,
                                           TavrikDevice&) { deliver(kind, type, index, value); });
    }

    void resetQueue() {
        queue.reset([this] {
            reported.clear();
            sequence = 0;
        });
    }
};

Device::Device() : impl_(std::make_unique<Impl>()) {}

Device::~Device() = default;

Device::Device(Device&& other) : impl_(std::make_unique<Impl>()) {
    impl_.swap(other.impl_);
}

Device& Device::operator=(Device&& other) {
    if (this != &other) {
        close();
        impl_.swap(other.impl_);
    }
    return *this;
}

int Device::open(const std::string& serial) {
    close();
    // The service first: a module it holds is busy for a direct open.
    impl_->viaService = impl_->served.open(serial) == Ok;
    const int result = impl_->viaService ? Ok : impl_->device.open(serial);
    if (result == Ok) {
        impl_->resetQueue();
    }
    return result;
}

int Device::start() {
    return impl_->viaService ? impl_->served.start() : impl_->device.start();
}

void Device::close() {
    if (impl_->viaService) {
        impl_->served.close();
    } else {
        impl_->device.close();
    }
    impl_->queue.close();
}

std::string Device::name() const {
    return impl_->viaService ? impl_->served.name() : impl_->device.name();
}

std::string Device::serial() const {
    return impl_->viaService ? impl_->served.serial() : impl_->device.serial();
}

std::string Device::typeText() const {
    return impl_->viaService ? impl_->served.typeText() : impl_->device.typeText();
}

std::string Device::firmwareVersion() const {
    return impl_->viaService ? impl_->served.firmwareVersion() : impl_->device.firmwareVersion();
}

std::string Device::hardwareVersion() const {
    return impl_->viaService ? impl_->served.hardwareVersion() : impl_->device.hardwareVersion();
}

int32_t Device::configIndex() const {
    return impl_->viaService ? impl_->served.configIndex() : impl_->device.configIndex();
}

int64_t Device::watchdogTime() const {
    return impl_->viaService ? impl_->served.watchdogTime() : impl_->device.watchdogTime();
}

int Device::status() const {
    return impl_->viaService ? impl_->served.status() : impl_->device.status();
}

bool Device::viaService() const {
    return impl_->viaService;
}

size_t Device::pointCount(uint32_t type) const {
    return impl_->viaService ? impl_->served.pointCount(type) : impl_->device.pointCount(type);
}

int Device::value(uint32_t type, int32_t index) const {
    return impl_->viaService ? impl_->served.getValue(type, index)
                             : impl_->device.getValue(type, index);
}

bool Device::isRelay(uint32_t type, int32_t index) const {
    return impl_->viaService ? impl_->served.isRelay(type, index)
                             : impl_->device.isRelay(type, index);
}

int Device::setValue(uint32_t type, int32_t index, int32_t value) {
    return impl_->viaService ? impl_->served.setValue(type, index, value)
                             : impl_->device.setValue(type, index, value);
}

int Device::waitForExchange(int timeoutMs) {
    return impl_->viaService ? impl_->served.waitForExchange(timeoutMs)
                             : impl_->device.waitForExchange(timeoutMs);
}

void Device::setEventCallback(EventCallback callback) {
    impl_->setCallback(std::move(callback));
}

int Device::values(std::vector<PointValue>& values) const {
    values.clear();
    TavrikPointValues table;
    const int result =
        impl_->viaService ? impl_->served.getValues(table) : impl_->device.getValues(table);
    if (result != Ok) {
        return result;
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        for (size_t index = 0; index < table[type].size(); ++index) {
            values.push_back({type, static_cast<uint32_t>(index), table[type][index]});
        }
    }
    return Ok;
}

int Device::setValues(const std::vector<PointValue>& values) {
    std::vector<TavrikPointWrite> writes;
    writes.reserve(values.size());
    for (const PointValue& v : values) {
        // An index past INT32_MAX is out of range for every module.
        const int32_t index = v.index > INT32_MAX ? -1 : static_cast<int32_t>(v.index);
        writes.push_back({v.type, index, v.value});
    }
    return impl_->viaService ? impl_->served.setValues(writes) : impl_->device.setValues(writes);
}

int Device::readEvent(EventRecord& event, int timeoutMs) {
    const int result = impl_->queue.pop(event, timeoutMs);
    return result < 0 ? DeviceNotOpen : result;
}

int Device::eventFd() const {
    return impl_->queue.fd();
}

void Device::setEventQueueCapacity(size_t capacity) {
    impl_->queue.setCapacity(capacity);
}

uint64_t Device::eventsDropped() const {
    return impl_->queue.dropped();
}

}  // namespace tavrik
