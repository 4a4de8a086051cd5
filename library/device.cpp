// The public device: the internal device object behind a pointer, so that the ABI does not
// depend on it.
#include <utility>

#include "tavrik/tavrik.h"
#include "tavrik_device.h"

namespace tavrik {

struct Device::Impl {
    TavrikDevice device;
};

Device::Device() : impl_(std::make_unique<Impl>()) {}

Device::~Device() = default;

int Device::open(const std::string& serial) {
    return impl_->device.open(serial);
}

int Device::start() {
    return impl_->device.start();
}

void Device::close() {
    impl_->device.close();
}

std::string Device::name() const {
    return impl_->device.name();
}

std::string Device::serial() const {
    return impl_->device.serial();
}

std::string Device::typeText() const {
    return impl_->device.typeText();
}

std::string Device::firmwareVersion() const {
    return impl_->device.firmwareVersion();
}

std::string Device::hardwareVersion() const {
    return impl_->device.hardwareVersion();
}

int32_t Device::configIndex() const {
    return impl_->device.configIndex();
}

int64_t Device::watchdogTime() const {
    return impl_->device.watchdogTime();
}

int Device::status() const {
    return impl_->device.status();
}

size_t Device::pointCount(uint32_t type) const {
    return impl_->device.pointCount(type);
}

int Device::value(uint32_t type, int32_t index) const {
    return impl_->device.getValue(type, index);
}

bool Device::isRelay(uint32_t type, int32_t index) const {
    return impl_->device.isRelay(type, index);
}

int Device::setValue(uint32_t type, int32_t index, int32_t value) {
    return impl_->device.setValue(type, index, value);
}

int Device::waitForExchange(int timeoutMs) {
    return impl_->device.waitForExchange(timeoutMs);
}

void Device::setEventCallback(EventCallback callback) {
    if (!callback) {
        impl_->device.setEventCallback(nullptr);
        return;
    }
    impl_->device.setEventCallback([callback = std::move(callback)](int32_t kind, int32_t type,
                                                                    int32_t index, int32_t value,
                                                                    TavrikDevice&) {
        Event event;
        event.kind = kind;
        event.type = static_cast<uint32_t>(type);
        event.index = static_cast<uint32_t>(index);
        event.value = value;
        callback(event);
    });
}

}  // namespace tavrik
