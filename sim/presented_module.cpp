#include "presented_module.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "boot_frame.h"
#include "hidraw_node.h"
#include "request_text.h"
#include "scenario_log.h"

namespace tavrik::sim {

namespace {

// A reply the module sends late reaches the host after its 100 ms read has given up.
constexpr int64_t kLateReplyMs = 150;
// Bootloader commands whose processing time the wire-time model sets apart.
constexpr uint8_t kBootCommandErase = 0x02;
constexpr uint8_t kBootCommandProgram = 0x03;
// A restarting module acknowledges first and leaves the bus a moment later, as real firmware
// does, so the host reads the acknowledgement before its device node goes away.
constexpr int64_t kResetMs = 200;
// How often a busy module looks for its node until the kernel has made it.
constexpr int64_t kNodeRetryMs = 20;

std::string productIdText(uint16_t productId) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", kVendorId, productId);
    return text;
}

TavrikMessage messageOf(const virt::InputReport& report) {
    TavrikMessage message;
    std::copy(report.bytes.begin(), report.bytes.end(), message.bytes);
    return message;
}

void writeLine(std::FILE* stream, const std::string& line) {
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
}

bool isEvent(const TavrikMessage& message) {
    const uint8_t command = message.command();
    return message.bytes[msg::Preamble] == kPreamble &&
           (command == CmdErrorEvent || command == CmdStateEventBasic ||
            command == CmdStateEventExtended);
}

}  // namespace

PresentedModule::PresentedModule(virt::ModuleConfig config, size_t number, std::FILE* verbose,
                                 std::FILE* busLog)
    : module_(std::move(config)),
      layout_(virt::layoutFor(module_.config().ioConfig,
                              (module_.config().deviceFlags & kFlagExtendedLayout) != 0)),
      phys_("tavrik_sim/module" + std::to_string(number)),
      log_(verbose),
      busLog_(busLog),
      name_(module_.config().usbSerial.value_or("module " + std::to_string(number))) {}

int PresentedModule::present(int64_t nowMs) {
    UhidIdentity identity;
    identity.name = module_.config().productString;
    identity.phys = phys_;
    identity.uniq = module_.config().usbSerial.value_or("");
    identity.vendorId = kVendorId;
    identity.productId = module_.productId();
    started_ = false;
    const int rc = device_.create(identity);
    if (rc != 0) {
        return rc;
    }
    logLine("presented as " + productIdText(identity.productId) +
            (module_.inBootloader() ? " (bootloader)" : " (application)"));
    service(nowMs);
    return 0;
}

void PresentedModule::handleEvents(int64_t nowMs) {
    while (device_.exists()) {
        const std::optional<UhidMessage> message = device_.receive();
        if (!message) {
            return;
        }
        switch (message->kind) {
            case UhidMessage::Start:
                started_ = true;
                sendDue(nowMs);
                break;
            case UhidMessage::Output:
                if (const auto report = outputReport(message->data)) {
                    receive(*report, nowMs);
                } else {
                    logLine("dropped a write of " + std::to_string(message->data.size()) +
                            " bytes");
                }
                break;
            case UhidMessage::GetReport:
            case UhidMessage::SetReport:
                device_.send(refusal(*message));
                break;
            default:
                break;
        }
    }
}

void PresentedModule::receive(const std::array<uint8_t, kReportSize>& report, int64_t nowMs) {
    if (gone_ || leaveAtMs_) {
        return;  // resetting: nothing is listening
    }
    const size_t appBefore = module_.requests().size();
    const size_t bootBefore = module_.bootRequests().size();
    const std::vector<int32_t> before = writableValues();
    module_.receive(report.data(), report.size(), nowMs);
    // The wire-time model: the request reaches the module once it and the reports before it
    // have crossed, and the replies start out after the module's processing time.
    int64_t readyMs = nowMs;
    if (modelled()) {
        lastInMs_ = std::max(nowMs, lastInMs_) + wireMs_;
        int processingMs = module_.requests().size() > appBefore ? module_.config().commandMs : 0;
        for (size_t i = bootBefore; i < module_.bootRequests().size(); ++i) {
            const std::vector<uint8_t>& payload = module_.bootRequests()[i];
            const uint8_t command = payload.empty() ? 0 : payload[0];
            processingMs += command == kBootCommandErase     ? module_.config().eraseMs
                            : command == kBootCommandProgram ? module_.config().programMs
                                                             : module_.config().commandMs;
        }
        readyMs = lastInMs_ + processingMs;
    }
    logRequests(appBefore, bootBefore);
    logPointChanges(before);
    queueOutput(nowMs, readyMs);
    sendDue(nowMs);
    takeSignals(nowMs);
}

// Runs before the replies are queued, so module_.output() holds just this request's answers.
void PresentedModule::logRequests(size_t appBefore, size_t bootBefore) {
    const std::vector<TavrikMessage>& app = module_.requests();
    const std::vector<std::vector<uint8_t>>& boot = module_.bootRequests();
    if (busLog_ != nullptr) {
        for (size_t i = appBefore; i < app.size(); ++i) {
            writeLine(busLog_, virt::appLogLine(app[i]));
        }
        for (size_t i = bootBefore; i < boot.size(); ++i) {
            writeLine(busLog_, virt::bootLogLine(boot[i]));
        }
    }
    if (log_ == nullptr) {
        return;
    }
    const std::deque<virt::InputReport>& out = module_.output();
    for (size_t i = appBefore; i < app.size(); ++i) {
        std::optional<TavrikMessage> reply;
        for (const virt::InputReport& report : out) {
            const TavrikMessage message = messageOf(report);
            if (message.command() == app[i].command() && !isEvent(message)) {
                reply = message;
                break;
            }
        }
        logLine(appRequestText(app[i], reply ? &*reply : nullptr));
    }
    if (boot.size() == bootBefore) {
        return;
    }
    std::vector<std::vector<uint8_t>> replies;
    virt::FrameDecoder decoder;
    for (const virt::InputReport& report : out) {
        for (uint8_t byte : report.bytes) {
            if (decoder.feed(byte)) {
                replies.push_back(decoder.payload());
            }
        }
    }
    for (size_t i = bootBefore; i < boot.size(); ++i) {
        const std::vector<uint8_t>* reply = nullptr;
        for (const std::vector<uint8_t>& candidate : replies) {
            if (!candidate.empty() && !boot[i].empty() && candidate[0] == boot[i][0]) {
                reply = &candidate;
                break;
            }
        }
        logLine(bootRequestText(boot[i], reply));
    }
}

std::vector<int32_t> PresentedModule::writableValues() const {
    std::vector<int32_t> values;
    if (log_ == nullptr || module_.inBootloader()) {
        return values;
    }
    for (const virt::PointSlot& slot : layout_.points) {
        if (slot.writable) {
            values.push_back(module_.point(slot.type, slot.index));
        }
    }
    return values;
}

// What the host wrote, as the module took it over from a state exchange.
void PresentedModule::logPointChanges(const std::vector<int32_t>& before) {
    const std::vector<int32_t> after = writableValues();
    if (before.empty() || after.size() != before.size()) {
        return;  // none to compare, or the module changed mode and reset its outputs
    }
    size_t k = 0;
    for (const virt::PointSlot& slot : layout_.points) {
        if (!slot.writable) {
            continue;
        }
        if (before[k] != after[k]) {
            logLine(pointChangeText(slot.type, slot.index, after[k]));
        }
        ++k;
    }
}

bool PresentedModule::modelled() const {
    const virt::ModuleConfig& c = module_.config();
    return wireMs_ > 0 || c.commandMs > 0 || c.eraseMs > 0 || c.programMs > 0;
}

void PresentedModule::queueOutput(int64_t nowMs, int64_t readyMs) {
    std::deque<virt::InputReport>& out = module_.output();
    while (!out.empty()) {
        const virt::InputReport& report = out.front();
        if (log_ != nullptr && isEvent(messageOf(report))) {
            logLine("sent " + appEventText(messageOf(report)));
        }
        Pending pending;
        pending.dueMs = report.late ? nowMs + kLateReplyMs : readyMs;
        if (modelled()) {
            // One input report crosses at a time.
            pending.dueMs = std::max(pending.dueMs, lastOutMs_) + wireMs_;
            lastOutMs_ = pending.dueMs;
        }
        pending.bytes = report.bytes;
        pending_.push_back(pending);
        out.pop_front();
    }
}

// Reports go out in order, so one held back holds back those behind it, as in a device's
// transmit queue.
void PresentedModule::sendDue(int64_t nowMs) {
    while (started_ && !pending_.empty() && pending_.front().dueMs <= nowMs) {
        const Pending& report = pending_.front();
        device_.send(inputRequest(report.bytes.data(), report.bytes.size()));
        pending_.pop_front();
    }
}

void PresentedModule::takeSignals(int64_t nowMs) {
    if (module_.takeUnplug()) {
        const std::optional<int> back = module_.takeComeBack();
        pending_.clear();
        releaseNode();
        device_.destroy();
        if (back) {
            started_ = false;
            module_.powerUpInBootloader();
            returnAtMs_ = nowMs + *back;
            logLine("unplugged, back in " + std::to_string(*back) + " ms");
            return;
        }
        gone_ = true;
        logLine("unplugged");
        return;
    }
    if (module_.takeRestart()) {
        // The last answers before the reset still reach the host.
        for (Pending& report : pending_) {
            report.dueMs = nowMs;
        }
        sendDue(nowMs);
        leaveAtMs_ = nowMs + kResetMs;
    }
}

void PresentedModule::leaveBus(int64_t nowMs) {
    leaveAtMs_.reset();
    pending_.clear();
    releaseNode();
    device_.destroy();
    started_ = false;
    logLine("left the bus to restart");
    returnAtMs_ = nowMs + std::max(0, module_.config().restartDelayMs);
}

void PresentedModule::service(int64_t nowMs) {
    if (gone_) {
        return;
    }
    if (leaveAtMs_ && nowMs >= *leaveAtMs_) {
        leaveBus(nowMs);
    }
    if (returnAtMs_ && nowMs >= *returnAtMs_) {
        returnAtMs_.reset();
        if (const int rc = present(nowMs); rc != 0) {
            logLine(std::string("cannot come back: ") + std::strerror(rc));
            gone_ = true;
        }
        return;  // present() has serviced the new device
    }
    if (!device_.exists() || leaveAtMs_) {
        return;
    }
    module_.tick(nowMs);
    queueOutput(nowMs, nowMs);
    sendDue(nowMs);
    takeSignals(nowMs);
    if (module_.config().busy && started_ && nodeLockFd_ < 0) {
        holdNode();
    }
}

std::optional<int64_t> PresentedModule::nextDueMs(int64_t nowMs) const {
    std::optional<int64_t> due;
    const auto consider = [&due](std::optional<int64_t> t) {
        if (t && (!due || *t < *due)) {
            due = t;
        }
    };
    if (gone_) {
        return due;
    }
    consider(leaveAtMs_);
    consider(returnAtMs_);
    if (device_.exists() && !leaveAtMs_) {
        consider(module_.nextActionMs());
        if (started_ && !pending_.empty()) {
            consider(pending_.front().dueMs);
        }
        if (module_.config().busy && started_ && nodeLockFd_ < 0) {
            consider(nowMs + kNodeRetryMs);
        }
    }
    return due;
}

// A busy module is one that another program holds: the HID layer of the tools claims a
// module with an exclusive lock on its node, so holding that lock here makes them see it busy.
void PresentedModule::holdNode() {
    const std::optional<std::string> node = hidrawNodeByPhys("/sys", phys_);
    if (!node) {
        return;
    }
    const int fd = ::open(node->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    nodeLockFd_ = fd;
    logLine("holding " + *node + " as another program would");
}

void PresentedModule::releaseNode() {
    if (nodeLockFd_ >= 0) {
        ::close(nodeLockFd_);
        nodeLockFd_ = -1;
    }
}

void PresentedModule::remove() {
    releaseNode();
    if (device_.exists()) {
        device_.destroy();
        logLine("removed");
    }
    gone_ = true;
    if (busLog_ != nullptr) {
        for (const std::string& line : virt::finalLogLines(module_)) {
            writeLine(busLog_, line);
        }
    }
}

void PresentedModule::logLine(const std::string& text) {
    if (log_ != nullptr) {
        writeLine(log_, name_ + ": " + text);
    }
}

}  // namespace tavrik::sim
