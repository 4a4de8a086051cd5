#include <algorithm>
#include <cstring>
#include <thread>

#include "process_hold.h"
#include "scenario_log.h"
#include "virtual_module.h"

namespace tavrik::virt {

namespace {

constexpr char kPathPrefix[] = "virtual:";

// Bootloader commands whose processing time the wire-time model sets apart.
constexpr uint8_t kBootCommandErase = 0x02;
constexpr uint8_t kBootCommandProgram = 0x03;

std::wstring widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) {
        wide.push_back(static_cast<wchar_t>(c));
    }
    return wide;
}

// "virtual:<index>:<generation>": a module that left the bus comes back under a new path.
std::string pathOf(size_t index, uint32_t generation) {
    return kPathPrefix + std::to_string(index) + ":" + std::to_string(generation);
}

bool parsePath(const char* path, size_t* index, uint32_t* generation) {
    if (path == nullptr || std::strncmp(path, kPathPrefix, sizeof kPathPrefix - 1) != 0) {
        return false;
    }
    unsigned long long i = 0;
    unsigned long g = 0;
    int used = 0;
    if (std::sscanf(path + sizeof kPathPrefix - 1, "%llu:%lu%n", &i, &g, &used) != 2 ||
        path[sizeof kPathPrefix - 1 + used] != '\0') {
        return false;
    }
    *index = static_cast<size_t>(i);
    *generation = static_cast<uint32_t>(g);
    return true;
}

}  // namespace

struct VirtualBus::Handle : hid::hid_device {
    size_t index = 0;
    uint32_t generation = 0;
    int processHold = -1;
};

VirtualBus::VirtualBus() : start_(std::chrono::steady_clock::now()) {}

VirtualBus::~VirtualBus() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log_ != nullptr) {
        logFinalState();
        std::fclose(log_);
    }
}

size_t VirtualBus::add(ModuleConfig config) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot slot;
    slot.busy = config.busy;
    slot.module = std::make_unique<VirtualModule>(std::move(config));
    slots_.push_back(std::move(slot));
    changed_.notify_all();
    return slots_.size() - 1;
}

bool VirtualBus::setLog(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log_ != nullptr) {
        std::fclose(log_);
    }
    log_ = std::fopen(path.c_str(), "a");
    return log_ != nullptr;
}

void VirtualBus::setWireMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    wireMs_ = std::max(ms, 0);
}

bool VirtualBus::modelled(const Slot& slot) const {
    const ModuleConfig& c = slot.module->config();
    return wireMs_ > 0 || c.commandMs > 0 || c.eraseMs > 0 || c.programMs > 0;
}

// Reports the module queued since the last call leave it after processingMs, one per wire
// time, behind any still crossing. In µs, so that whole-ms truncation does not shorten it.
void VirtualBus::stamp(Slot& slot, int64_t nowUs, int processingMs) {
    if (!modelled(slot)) {
        return;
    }
    int64_t start = nowUs + processingMs * int64_t{1000};
    for (InputReport& report : slot.module->output()) {
        if (report.stamped) {
            continue;
        }
        report.stamped = true;
        report.readyUs = std::max(start, slot.lastReadyUs) + wireMs_ * int64_t{1000};
        slot.lastReadyUs = report.readyUs;
        start = report.readyUs;
    }
}

int64_t VirtualBus::nowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
}

int64_t VirtualBus::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
}

bool VirtualBus::present(const Slot& slot, int64_t now) const {
    return slot.plugged && now >= slot.presentFromMs;
}

VirtualBus::Handle* VirtualBus::find(hid::hid_device* dev) const {
    for (const auto& handle : handles_) {
        if (handle.get() == dev) {
            return handle.get();
        }
    }
    return nullptr;
}

void VirtualBus::tick(Slot& slot, int64_t now) {
    if (present(slot, now)) {
        slot.module->tick(now);
        takeSignals(slot, now);
    }
}

void VirtualBus::takeSignals(Slot& slot, int64_t now) {
    if (slot.module->takeUnplug()) {
        const std::optional<int> back = slot.module->takeComeBack();
        leave(slot);
        slot.farewell.clear();
        if (back) {
            slot.module->powerUpInBootloader();
            slot.presentFromMs = now + *back;
        } else {
            slot.plugged = false;
        }
    }
    if (slot.module->takeRestart()) {
        leave(slot);
        slot.presentFromMs = now + slot.module->config().restartDelayMs;
    }
}

// Open handles die; what the module sent just before stays readable on them.
void VirtualBus::leave(Slot& slot) {
    slot.farewell = std::move(slot.module->output());
    slot.module->output().clear();
    slot.farewellGeneration = slot.generation;
    ++slot.generation;
}

std::vector<hid::EnumeratedDevice> VirtualBus::enumerate(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = nowMs();
    std::vector<hid::EnumeratedDevice> devices;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        const VirtualModule& module = *slot.module;
        if (!present(slot, now) || (vendorId != 0 && vendorId != kVendorId) ||
            (productId != 0 && productId != module.productId())) {
            continue;
        }
        hid::EnumeratedDevice device;
        device.path = pathOf(i, slot.generation);
        device.location = module.config().location;
        device.vendorId = kVendorId;
        device.productId = module.productId();
        if (module.config().usbSerial) {
            device.serialNumber = widen(*module.config().usbSerial);
        }
        device.releaseNumber = 0x0100;
        device.manufacturer = L"Tavrik";
        device.product = widen(module.config().productString);
        device.usagePage = 0xFF00;
        device.usage = 0x0001;
        devices.push_back(std::move(device));
    }
    return devices;
}

hid::hid_device* VirtualBus::openPath(const char* path, int* status) {
    if (status != nullptr) {
        *status = hid::kOpenFailed;
    }
    size_t index = 0;
    uint32_t generation = 0;
    if (!parsePath(path, &index, &generation)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= slots_.size()) {
        return nullptr;
    }
    Slot& slot = slots_[index];
    if (!present(slot, nowMs()) || slot.generation != generation) {
        return nullptr;
    }
    // Write access is exclusive, to other processes and to a second handle alike.
    const bool held = std::any_of(handles_.begin(), handles_.end(), [&](const auto& h) {
        return h->index == index && h->generation == generation;
    });
    if (slot.busy || held) {
        if (status != nullptr) {
            *status = hid::kOpenBusy;
        }
        return nullptr;
    }
    int processHold = -1;
    if (!holdDirectory_.empty()) {
        processHold = takeProcessHold(holdDirectory_, index);
        if (processHold < 0) {
            if (status != nullptr) {
                *status = hid::kOpenBusy;
            }
            return nullptr;
        }
    }
    auto handle = std::make_unique<Handle>();
    handle->index = index;
    handle->generation = generation;
    handle->processHold = processHold;
    slots_[index].opened = true;
    handles_.push_back(std::move(handle));
    if (status != nullptr) {
        *status = hid::kOpenOk;
    }
    return handles_.back().get();
}

int VirtualBus::write(hid::hid_device* dev, const unsigned char* data, size_t length) {
    int wireMs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wireMs = wireMs_;
    }
    if (wireMs > 0) {
        // The report crosses the wire before the module sees it; the writer waits, as
        // hid_write waits for the interrupt transfer.
        std::this_thread::sleep_for(std::chrono::milliseconds(wireMs));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Handle* handle = find(dev);
    if (handle == nullptr || data == nullptr || length != hid::kReportSize || data[0] != 0) {
        return -1;
    }
    Slot& slot = slots_[handle->index];
    const int64_t now = nowMs();
    tick(slot, now);
    if (handle->generation != slot.generation || !present(slot, now)) {
        return -1;
    }
    VirtualModule& module = *slot.module;
    const size_t appSeen = module.requests().size();
    const size_t bootSeen = module.bootRequests().size();
    module.receive(data + 1, kMessageSize, now);
    for (size_t i = appSeen; i < module.requests().size(); ++i) {
        logLine(appLogLine(module.requests()[i]));
    }
    int processingMs = 0;
    if (module.requests().size() > appSeen) {
        processingMs = module.config().commandMs;
    }
    for (size_t i = bootSeen; i < module.bootRequests().size(); ++i) {
        const std::vector<uint8_t>& payload = module.bootRequests()[i];
        logLine(bootLogLine(payload));
        const uint8_t command = payload.empty() ? 0 : payload[0];
        processingMs += command == kBootCommandErase     ? module.config().eraseMs
                        : command == kBootCommandProgram ? module.config().programMs
                                                         : module.config().commandMs;
    }
    stamp(slot, nowUs(), processingMs);
    takeSignals(slot, now);
    changed_.notify_all();
    return static_cast<int>(hid::kReportSize);
}

int VirtualBus::readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                            int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    Handle* handle = find(dev);
    if (handle == nullptr || data == nullptr) {
        return -1;
    }
    ++slots_[handle->index].reads;
    const bool bounded = milliseconds >= 0;
    const int64_t deadline = nowMs() + milliseconds;
    auto deliver = [&](std::deque<InputReport>& queue) {
        const size_t n = std::min(length, kMessageSize);
        std::copy_n(queue.front().bytes.begin(), n, data);
        queue.pop_front();
        changed_.notify_all();
        return static_cast<int>(n);
    };
    for (;;) {
        // Looked up again on every pass: add() may move the slots while the lock is free.
        if (find(dev) != handle) {
            return -1;
        }
        Slot& slot = slots_[handle->index];
        const int64_t now = nowMs();
        if (handle->generation == slot.generation) {
            tick(slot, now);
        }
        if (handle->generation != slot.generation) {
            if (handle->generation == slot.farewellGeneration && !slot.farewell.empty()) {
                return deliver(slot.farewell);
            }
            return -1;
        }
        const int64_t us = nowUs();
        stamp(slot, us, 0);
        std::deque<InputReport>& queue = slot.module->output();
        const bool timedOut = bounded && now >= deadline;
        std::optional<int64_t> crossing;  // µs; the front report is still on the wire
        if (!queue.empty() && queue.front().stamped && queue.front().readyUs > us) {
            crossing = queue.front().readyUs;
            if (timedOut) {
                return 0;
            }
        } else if (!queue.empty()) {
            if (!queue.front().late || !bounded) {
                return deliver(queue);
            }
            if (timedOut) {
                queue.front().late = false;  // the host gave up on it; the next read gets it
                return 0;
            }
        } else if (timedOut) {
            return 0;
        }
        std::optional<std::chrono::steady_clock::time_point> wake;
        if (const std::optional<int64_t> action = slot.module->nextActionMs()) {
            wake = start_ + std::chrono::milliseconds(*action);
        }
        if (crossing) {
            const auto ready = start_ + std::chrono::microseconds(*crossing);
            wake = std::min(wake.value_or(ready), ready);
        }
        if (bounded) {
            const auto end = start_ + std::chrono::milliseconds(deadline);
            wake = std::min(wake.value_or(end), end);
        }
        if (wake) {
            changed_.wait_until(lock, *wake);
        } else {
            changed_.wait(lock);
        }
    }
}

int VirtualBus::productString(hid::hid_device* dev, wchar_t* string, size_t maxlen) {
    std::lock_guard<std::mutex> lock(mutex_);
    Handle* handle = find(dev);
    if (handle == nullptr || string == nullptr || maxlen == 0) {
        return -1;
    }
    const Slot& slot = slots_[handle->index];
    const std::string& text = slot.module->config().productString;
    if (handle->generation != slot.generation || text.empty()) {
        return -1;
    }
    const size_t n = std::min(text.size(), maxlen - 1);
    for (size_t i = 0; i < n; ++i) {
        string[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    string[n] = L'\0';
    return 0;
}

void VirtualBus::close(hid::hid_device* dev) {
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.erase(std::remove_if(handles_.begin(), handles_.end(),
                                  [dev](const auto& h) {
                                      if (h.get() != dev) {
                                          return false;
                                      }
                                      releaseProcessHold(h->processHold);
                                      return true;
                                  }),
                   handles_.end());
    changed_.notify_all();
}

void VirtualBus::setPoint(size_t index, uint32_t type, uint32_t point, int32_t value,
                          bool sendEvent) {
    std::lock_guard<std::mutex> lock(mutex_);
    VirtualModule& module = *slots_.at(index).module;
    if (module.setPoint(type, point, value) && sendEvent) {
        module.sendStateEvent();
    }
    changed_.notify_all();
}

void VirtualBus::sendStateEvent(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(index).module->sendStateEvent();
    changed_.notify_all();
}

void VirtualBus::sendErrorEvent(size_t index, int8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(index).module->sendErrorEvent(code);
    changed_.notify_all();
}

void VirtualBus::sendRaw(size_t index, const TavrikMessage& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(index).module->sendRaw(message);
    changed_.notify_all();
}

void VirtualBus::injectFault(size_t index, Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(index).module->injectFault(fault);
    changed_.notify_all();
}

void VirtualBus::unplug(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_.at(index);
    if (slot.plugged) {
        slot.plugged = false;
        leave(slot);
        slot.farewell.clear();
    }
    changed_.notify_all();
}

void VirtualBus::plug(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_.at(index);
    if (!slot.plugged) {
        slot.plugged = true;
        slot.presentFromMs = nowMs();
    }
    changed_.notify_all();
}

void VirtualBus::setBusy(size_t index, bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(index).busy = busy;
}

bool VirtualBus::waitFor(size_t index, int timeoutMs,
                         const std::function<bool(const VirtualModule&)>& p) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return p(*slots_.at(index).module); });
}

size_t VirtualBus::readCount(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.at(index).reads;
}

void VirtualBus::logLine(const std::string& line) {
    if (log_ != nullptr) {
        std::fprintf(log_, "%s\n", line.c_str());
        std::fflush(log_);
    }
}

void VirtualBus::setHoldDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdDirectory_ = dir;
}

void VirtualBus::logFinalState() {
    for (const Slot& slot : slots_) {
        if (!holdDirectory_.empty() && !slot.opened) {
            continue;
        }
        for (const std::string& line : finalLogLines(*slot.module)) {
            logLine(line);
        }
    }
}

}  // namespace tavrik::virt
