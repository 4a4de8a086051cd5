// Windows has no tavrikd: no module is served, and every module is opened directly.
#include "served_module.h"

namespace tavrik {

std::map<std::string, std::string> servedTypeTexts() {
    return {};
}

struct ServedModule::Impl {};

ServedModule::ServedModule() = default;
ServedModule::~ServedModule() = default;

int ServedModule::open(const std::string&) {
    return DeviceBusy;
}

int ServedModule::start() {
    return DeviceNotOpen;
}

void ServedModule::close() {}

std::string ServedModule::name() const {
    return {};
}

std::string ServedModule::serial() const {
    return {};
}

std::string ServedModule::typeText() const {
    return {};
}

std::string ServedModule::firmwareVersion() const {
    return {};
}

std::string ServedModule::hardwareVersion() const {
    return {};
}

int32_t ServedModule::configIndex() const {
    return -1;
}

int64_t ServedModule::watchdogTime() const {
    return 0;
}

int ServedModule::status() const {
    return DeviceNotOpen;
}

size_t ServedModule::pointCount(uint32_t) const {
    return 0;
}

int ServedModule::getValue(uint32_t, int32_t) {
    return DeviceNotOpen;
}

bool ServedModule::isRelay(uint32_t, int32_t) const {
    return false;
}

int ServedModule::setValue(uint32_t, int32_t, int32_t) {
    return DeviceNotOpen;
}

int ServedModule::getValues(TavrikPointValues&) {
    return DeviceNotOpen;
}

int ServedModule::setValues(const std::vector<TavrikPointWrite>&) {
    return DeviceNotOpen;
}

int ServedModule::waitForExchange(int) {
    return DeviceNotOpen;
}

void ServedModule::setEventSink(ServedEventSink) {}

int ServiceInhibit::take(const std::string&, const std::string&) {
    return UnableToOpenDevice;
}

ServiceInhibit::~ServiceInhibit() = default;

}  // namespace tavrik
