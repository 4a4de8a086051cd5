#include "virtual_module.h"

#include <algorithm>
#include <utility>

#include "app_firmware.h"
#include "boot_firmware.h"

namespace tavrik::virt {

VirtualModule::VirtualModule(ModuleConfig config)
    : config_(std::move(config)),
      app_(std::make_unique<AppFirmware>(config_)),
      boot_(std::make_unique<BootFirmware>(config_)),
      inBootloader_(config_.startInBootloader),
      script_(config_.script) {
    std::stable_sort(
        script_.begin(), script_.end(),
        [](const ScriptedAction& a, const ScriptedAction& b) { return a.afterMs < b.afterMs; });
}

VirtualModule::~VirtualModule() = default;

const ModuleConfig& VirtualModule::config() const {
    return config_;
}

bool VirtualModule::inBootloader() const {
    return inBootloader_;
}

uint16_t VirtualModule::productId() const {
    return inBootloader_ ? config_.bootloaderPid : config_.applicationPid;
}

void VirtualModule::receive(const uint8_t* report, size_t length, int64_t nowMs) {
    tick(nowMs);
    if (unplugged_) {
        return;
    }
    if (inBootloader_) {
        switch (boot_->receive(report, length, output_)) {
            case BootFirmware::StartApplication:
                restart();
                break;
            case BootFirmware::Unplug:
                output_.clear();
                unplugged_ = true;
                comeBackMs_ = boot_->takeVanishReturn();
                break;
            case BootFirmware::None:
                break;
        }
        return;
    }
    switch (app_->receive(report, length, output_)) {
        case AppFirmware::KeepAlive:
            if (!firstKeepAliveMs_) {
                firstKeepAliveMs_ = nowMs;
                tick(nowMs);  // actions at 0 ms go out right behind the reply
            }
            break;
        case AppFirmware::EnterBootloader:
            output_.clear();  // whatever it had not sent yet is lost in the reset
            restart();
            break;
        case AppFirmware::Unplug:
            output_.clear();
            unplugged_ = true;
            comeBackMs_ = app_->takeVanishReturn();
            break;
        case AppFirmware::None:
            break;
    }
}

// A restart is a reset: outputs fall back to their power-on values.
void VirtualModule::restart() {
    inBootloader_ = !inBootloader_;
    app_->powerOn();
    boot_->powerOn();
    restarted_ = true;
}

void VirtualModule::tick(int64_t nowMs) {
    while (!unplugged_ && nextAction_ < script_.size() && firstKeepAliveMs_ &&
           nowMs >= *firstKeepAliveMs_ + script_[nextAction_].afterMs) {
        const ScriptedAction& action = script_[nextAction_++];
        if (action.kind == ScriptedAction::Flood) {
            floodPeriodMs_ = action.value;
            nextFloodMs_ = *firstKeepAliveMs_ + action.afterMs;
        }
        runAction(action);
    }
    // One event per period that has passed, as a firmware stuck in its event loop sends them.
    while (!unplugged_ && floodPeriodMs_ > 0 && nowMs >= nextFloodMs_) {
        sendStateEvent();
        nextFloodMs_ += floodPeriodMs_;
    }
}

void VirtualModule::runAction(const ScriptedAction& action) {
    switch (action.kind) {
        case ScriptedAction::SetPoint:
            if (setPoint(action.type, action.index, action.value)) {
                sendStateEvent();
            }
            break;
        case ScriptedAction::ErrorEvent:
            sendErrorEvent(static_cast<int8_t>(action.value));
            break;
        case ScriptedAction::StateEvent:
            sendStateEvent();
            break;
        case ScriptedAction::Unplug:
            output_.clear();
            unplugged_ = true;
            break;
        case ScriptedAction::Flood:
            break;  // tick sends the events
    }
}

std::optional<int64_t> VirtualModule::nextActionMs() const {
    if (unplugged_ || !firstKeepAliveMs_) {
        return std::nullopt;
    }
    std::optional<int64_t> next;
    if (nextAction_ < script_.size()) {
        next = *firstKeepAliveMs_ + script_[nextAction_].afterMs;
    }
    if (floodPeriodMs_ > 0) {
        next = std::min(next.value_or(nextFloodMs_), nextFloodMs_);
    }
    return next;
}

std::deque<InputReport>& VirtualModule::output() {
    return output_;
}

bool VirtualModule::takeRestart() {
    return std::exchange(restarted_, false);
}

bool VirtualModule::takeUnplug() {
    return std::exchange(unplugged_, false);
}

std::optional<int> VirtualModule::takeComeBack() {
    return std::exchange(comeBackMs_, std::nullopt);
}

// A power cut leaves the application unstarted: the module comes up in its bootloader.
void VirtualModule::powerUpInBootloader() {
    inBootloader_ = true;
    app_->powerOn();
    boot_->powerOn();
}

int32_t VirtualModule::point(uint32_t type, uint32_t index) const {
    return app_->point(type, index);
}

bool VirtualModule::setPoint(uint32_t type, uint32_t index, int32_t value) {
    return app_->setPoint(type, index, value);
}

void VirtualModule::sendStateEvent() {
    if (!inBootloader_) {
        app_->sendStateEvent(output_);
    }
}

void VirtualModule::sendErrorEvent(int8_t code) {
    if (!inBootloader_) {
        app_->sendErrorEvent(code, output_);
    }
}

void VirtualModule::sendRaw(const TavrikMessage& message) {
    if (!inBootloader_) {
        InputReport report;
        std::copy_n(message.bytes, kMessageSize, report.bytes.begin());
        output_.push_back(report);
    }
}

void VirtualModule::injectFault(const Fault& fault) {
    app_->injectFault(fault);
    boot_->injectFault(fault);
}

const std::vector<uint8_t>& VirtualModule::image() const {
    return app_->image();
}

uint32_t VirtualModule::imageLength() const {
    return app_->imageLength();
}

const std::vector<uint8_t>& VirtualModule::flash() const {
    return boot_->flash();
}

uint32_t VirtualModule::programmedStart() const {
    return boot_->programmedStart();
}

uint32_t VirtualModule::programmedEnd() const {
    return boot_->programmedEnd();
}

const std::vector<TavrikMessage>& VirtualModule::requests() const {
    return app_->requests();
}

size_t VirtualModule::requestCount(uint8_t command) const {
    return app_->requestCount(command);
}

const std::vector<std::vector<uint8_t>>& VirtualModule::bootRequests() const {
    return boot_->requests();
}

}  // namespace tavrik::virt
