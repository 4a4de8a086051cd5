#include "loop_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tavrik::daemon {

LoopQueue::~LoopQueue() {
    sd_event_source_disable_unref(source_);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int LoopQueue::attach(sd_event* event) {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) {
        return -errno;
    }
    return sd_event_add_io(event, &source_, fd_, EPOLLIN, &LoopQueue::onReadable, this);
}

void LoopQueue::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    const uint64_t one = 1;
    // A full counter still leaves the fd readable, which is all the loop needs.
    (void)!::write(fd_, &one, sizeof one);
}

void LoopQueue::discard() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(jobs_);
    }
}

int LoopQueue::onReadable(sd_event_source*, int fd, uint32_t, void* self) {
    uint64_t count = 0;
    (void)!::read(fd, &count, sizeof count);
    static_cast<LoopQueue*>(self)->runPending();
    return 0;
}

void LoopQueue::runPending() {
    std::deque<std::function<void()>> jobs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs.swap(jobs_);
    }
    for (auto& job : jobs) {
        job();
    }
}

}  // namespace tavrik::daemon
