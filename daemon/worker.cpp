#include "worker.h"

namespace tavrik::daemon {

Worker::Worker(size_t threads) {
    for (size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { run(); });
    }
}

Worker::~Worker() {
    stop();
}

void Worker::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Worker::post(const std::string& key, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Lane& lane = lanes_[key];
        lane.jobs.push_back(std::move(job));
        // A busy lane is handed on by the thread that runs it.
        if (lane.busy || lane.jobs.size() > 1) {
            return;
        }
        ready_.push_back(key);
    }
    wake_.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    threads_.clear();
}

void Worker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty() || !ready_.empty(); });
        std::function<void()> job;
        std::string key;
        bool keyed = false;
        if (!ready_.empty()) {
            key = std::move(ready_.front());
            ready_.pop_front();
            Lane& lane = lanes_[key];
            lane.busy = true;
            job = std::move(lane.jobs.front());
            lane.jobs.pop_front();
            keyed = true;
        } else if (!jobs_.empty()) {
            job = std::move(jobs_.front());
            jobs_.pop_front();
        } else {
            return;  // stopping, and nothing is left
        }
        lock.unlock();
        job();
        job = nullptr;  // what the job holds goes before the lock is taken again
        lock.lock();
        if (keyed) {
            Lane& lane = lanes_[key];
            lane.busy = false;
            if (lane.jobs.empty()) {
                lanes_.erase(key);
            } else {
                ready_.push_back(key);
                wake_.notify_one();
            }
        }
    }
}

}  // namespace tavrik::daemon
