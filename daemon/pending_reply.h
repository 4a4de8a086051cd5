// Method calls answered later, on the loop's thread: the call is kept referenced until then.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>

namespace tavrik::daemon {

class PendingReply {
  public:
    explicit PendingReply(sd_bus_message* call) : call_(sd_bus_message_ref(call)) {}
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;
    ~PendingReply() { sd_bus_message_unref(call_); }

    sd_bus_message* call() const { return call_; }
    // An empty reply for Ok, else the result's named error.
    void finish(int result);

  private:
    sd_bus_message* call_;
};

// Sets the named error of a result into error; returns what a method handler returns then.
int setResultError(sd_bus_error* error, int result);

// Runs done when the last copy goes: the scans that wait for the openings they started hold
// one each (on the loop's thread only).
class ScanTicket {
  public:
    explicit ScanTicket(std::function<void()> done) : done_(std::move(done)) {}
    ScanTicket(const ScanTicket&) = delete;
    ScanTicket& operator=(const ScanTicket&) = delete;
    ~ScanTicket() {
        if (done_) {
            done_();
        }
    }

  private:
    std::function<void()> done_;
};
using TicketRef = std::shared_ptr<ScanTicket>;

}  // namespace tavrik::daemon
