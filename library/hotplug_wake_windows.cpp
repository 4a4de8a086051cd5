// No udev and no service here: the monitor finds changes by its scans alone.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "hotplug_wake.h"

namespace tavrik {

struct HotplugWake::Impl {
    std::mutex mutex;
    std::condition_variable woken;
    bool interrupted = false;
};

HotplugWake::HotplugWake(ServiceModules&) : impl_(std::make_unique<Impl>()) {}

HotplugWake::~HotplugWake() = default;

void HotplugWake::wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->woken.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return impl_->interrupted; });
    impl_->interrupted = false;
}

void HotplugWake::interrupt() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->interrupted = true;
    impl_->woken.notify_all();
}

}  // namespace tavrik
