// The public device: the internal device object behind a pointer, so that the ABI does not
// depend on it. A module that tavrikd holds is used through the service instead, with the same
// results.
#include <utility>

#include "served_module.h"
#include "tavrik/tavrik.h"
#include "tavrik_device.h"

namespace tavrik {

struct Device::Impl {
    TavrikDevice device;
    ServedModule served;
    bool viaService = false;  // set by open, which no other call may overlap
};

Device::Device() : impl_(std::make_unique<Impl>()) {}

Device::~Device() = default;

int Device::open(const std::string& serial) {
    close();
    // The service first: a module it holds is busy for a direct open.
    impl_->viaService = impl_->served.open(serial) == Ok;
    return impl_->viaService ? Ok : impl_->device.open(serial);
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
    if (!callback) {
        impl_->device.setEventCallback(nullptr);
        impl_->served.setEventSink(nullptr);
        return;
    }
    auto deliver = [callback = std::move(callback)](int32_t kind, int32_t type, int32_t index,
                                                    int32_t value) {
        Event event;
        event.kind = kind;
        event.type = static_cast<uint32_t>(type);
        event.index = static_cast<uint32_t>(index);
        event.value = value;
        callback(event);
    };
    impl_->served.setEventSink(deliver);
    impl_->device.setEventCallback(
        [deliver = std::move(deliver)](int32_t kind, int32_t type, int32_t index, int32_t value,
                                       TavrikDevice&) { deliver(kind, type, index, value); });
}

}  // namespace tavrik
