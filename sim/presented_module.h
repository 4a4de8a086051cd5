// One virtual module presented as a HID device through uhid: the host's output reports go to
// its firmware, its input reports go back, and a restart into its other mode takes the device
// away and brings it back under the other product ID.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>

#include "point_layout.h"
#include "uhid_device.h"
#include "virtual_module.h"

namespace tavrik::sim {

class PresentedModule {
  public:
    // number tells the module's devices apart in their phys text. verbose, when set, receives
    // the -v lines; busLog, when set, the lines of the scenario's log.
    PresentedModule(virt::ModuleConfig config, size_t number, std::FILE* verbose,
                    std::FILE* busLog);
    PresentedModule(const PresentedModule&) = delete;
    PresentedModule& operator=(const PresentedModule&) = delete;

    // Creates the device; 0 or the errno of the failure.
    int present(int64_t nowMs);
    // Handles every event the kernel has queued for the device.
    void handleEvents(int64_t nowMs);
    // Runs what is due by the clock: scripted actions, held-back reports, the return to the
    // bus after a restart, the hold of a busy module on its node.
    void service(int64_t nowMs);
    // Removes the device for good and writes the module's final lines to the scenario log.
    void remove();

    // Wire-time model, off at 0: each report takes this many ms to cross in either direction.
    void setWireMs(int ms) { wireMs_ = ms; }

    bool started() const { return started_; }
    int fd() const { return device_.fd(); }
    // The next time service() has something to do, if any.
    std::optional<int64_t> nextDueMs(int64_t nowMs) const;

  private:
    struct Pending {
        int64_t dueMs = 0;
        std::array<uint8_t, kReportSize> bytes{};
    };

    void receive(const std::array<uint8_t, kReportSize>& report, int64_t nowMs);
    void logRequests(size_t appBefore, size_t bootBefore);
    void logPointChanges(const std::vector<int32_t>& before);
    std::vector<int32_t> writableValues() const;
    void queueOutput(int64_t nowMs, int64_t readyMs);
    void sendDue(int64_t nowMs);
    void takeSignals(int64_t nowMs);
    void leaveBus(int64_t nowMs);
    void holdNode();
    void releaseNode();
    void logLine(const std::string& text);
    bool modelled() const;

    virt::VirtualModule module_;
    const virt::PointLayout layout_;
    const std::string phys_;
    std::FILE* log_;
    std::FILE* busLog_;
    std::string name_;  // in -v lines
    UhidDevice device_;
    bool started_ = false;
    bool gone_ = false;                  // unplugged for good
    std::optional<int64_t> leaveAtMs_;   // restarting: the device goes away then
    std::optional<int64_t> returnAtMs_;  // and comes back then
    std::deque<Pending> pending_;
    int nodeLockFd_ = -1;  // a busy module's hold on its hidraw node
    int wireMs_ = 0;
    int64_t lastInMs_ = 0;   // wire-time model: when the last output report reached the module
    int64_t lastOutMs_ = 0;  // and when the last input report reaches the host
};

}  // namespace tavrik::sim
