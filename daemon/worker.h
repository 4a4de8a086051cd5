// Threads that run the calls that wait on a module (open, close, waiting for an exchange), so
// that the bus loop never does.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
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

    // Runs on any free thread.
    void post(std::function<void()> job);
    // Jobs of one key run one after the other in the order posted; jobs of different keys run
    // side by side, so that a module whose open takes seconds of retries holds up only its
    // own later jobs.
    void post(const std::string& key, std::function<void()> job);
    void stop();

  private:
    // The jobs of one key; while busy, one thread runs its front job.
    struct Lane {
        std::deque<std::function<void()>> jobs;
        bool busy = false;
    };

    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::string, Lane> lanes_;
    std::deque<std::string> ready_;  // keys with jobs waiting and no thread on them
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tavrik::daemon
