// A bounded queue that a caller pulls from, with a descriptor to poll: the device's events and
// the monitor's reports. When full it drops the oldest, so that the newest state is kept, and
// counts what it dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "ready_signal.h"

namespace tavrik {

template <class T>
class PullQueue {
  public:
    explicit PullQueue(size_t capacity) : capacity_(capacity) { signal_.raise(); }

    // Empty and open: the start of a run. Until then, and after close(), it reads as closed.
    // underLock() runs under the queue's lock, for the state that push's prepare keeps.
    template <class UnderLock>
    void reset(UnderLock underLock) {
        std::lock_guard<std::mutex> lock(mutex_);
        underLock();
        items_.clear();
        dropped_ = 0;
        closed_ = false;
        signal_.clear();
    }

    // Readers take what is left, then learn that it is closed; the descriptor stays readable.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        signal_.raise();
        ready_.notify_all();
    }

    void setCapacity(size_t capacity) {
        std::lock_guard<std::mutex> lock(mutex_);
        capacity_ = capacity > 0 ? capacity : 1;
        trim();
    }

    // prepare(item) runs under the queue's lock before the item goes in, so that what it
    // stamps (a sequence number) follows the order of the queue.
    template <class Prepare>
    void push(T item, Prepare prepare) {
        std::lock_guard<std::mutex> lock(mutex_);
        prepare(item);
        items_.push_back(std::move(item));
        trim();
        signal_.raise();
        ready_.notify_all();
    }

    // 1 with the oldest item, 0 when none came within timeoutMs (negative: no end), -1 when
    // closed and empty.
    int pop(T& item, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ready = [this] { return !items_.empty() || closed_; };
        if (timeoutMs < 0) {
            ready_.wait(lock, ready);
        } else if (!ready_.wait_until(
                       lock,
                       std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs),
                       ready)) {
            return 0;
        }
        if (items_.empty()) {
            return -1;
        }
        item = std::move(items_.front());
        items_.pop_front();
        if (items_.empty() && !closed_) {
            signal_.clear();
        }
        return 1;
    }

    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

    int fd() const { return signal_.fd(); }

  private:
    void trim() {
        while (items_.size() > capacity_) {
            items_.pop_front();
            ++dropped_;
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable ready_;  // waits on the monotonic clock
    std::deque<T> items_;
    size_t capacity_;
    uint64_t dropped_ = 0;
    bool closed_ = true;
    ReadySignal signal_;
};

}  // namespace tavrik
