// Threads that run the calls that wait on a module (open, close, waiting for an exchange), so
// that the bus loop never does.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrik::daemon {

class Worker {
  public:
    // With one thread the jobs run one after the other in the order posted.
    explicit Worker(size_t threads);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    // Runs what is still queued, then joins.
    ~Worker();

    void post(std::function<void()> job);
    void stop();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tavrik::daemon
