// Work handed to the bus loop's thread from any other thread: only that thread touches sd-bus.
// An eventfd in the loop wakes it; the jobs run there in the order they were posted.
#pragma once

#include <systemd/sd-event.h>

#include <deque>
#include <functional>
#include <mutex>

namespace tavrik::daemon {

class LoopQueue {
  public:
    LoopQueue() = default;
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;
    ~LoopQueue();

    // Negative errno on failure.
    int attach(sd_event* event);
    // From any thread.
    void post(std::function<void()> job);
    // Drops what was not run yet (at the end, on the loop's thread).
    void discard();

  private:
    static int onReadable(sd_event_source* source, int fd, uint32_t events, void* self);
    void runPending();

    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
    int fd_ = -1;
    sd_event_source* source_ = nullptr;
};

}  // namespace tavrik::daemon
