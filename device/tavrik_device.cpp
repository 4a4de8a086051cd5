#include "tavrik_device.h"

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <ctime>

#include "config_file.h"
#include "signal_mask.h"

namespace tavrik {

namespace {

constexpr std::chrono::milliseconds kKeepAliveInterval{60000};
constexpr int kEventReadMs = 10;
constexpr int kStartWaits = 10;
constexpr int kStartWaitMs = 20;

// The device whose API thread this is, if any: close() and start() from one of its callbacks
// must neither join nor wait for the thread they run on.
thread_local const TavrikDevice* apiThreadDevice = nullptr;

}  // namespace

std::string displayName(const std::string& configName, const std::string& blockName,
                        const std::string& productString) {
    if (!configName.empty()) {
        return configName;
    }
    if (!blockName.empty()) {
        return blockName;
    }
    return productString.empty() ? "Quenz Input Output Module" : productString;
}

ApiSchedule::ApiSchedule(TimePoint start, std::chrono::milliseconds keepAlive,
                         std::chrono::milliseconds poll)
    : keepAlive_(keepAlive), poll_(poll), nextKeepAlive_(start), nextPoll_(start) {}

bool ApiSchedule::takeKeepAlive(TimePoint now) {
    if (now < nextKeepAlive_) {
        return false;
    }
    nextKeepAlive_ = now + keepAlive_;
    return true;
}

bool ApiSchedule::takePoll(TimePoint now, bool pending) {
    if (!pending && now < nextPoll_) {
        return false;
    }
    nextPoll_ = now + poll_;
    return true;
}

TavrikDevice::TavrikDevice(DeviceClock* clock) : clock_(clock) {}

TavrikDevice::~TavrikDevice() {
    setEventCallback(nullptr);
    close();
}

DeviceClock::TimePoint TavrikDevice::monotonicNow() {
    return clock_ != nullptr ? clock_->monotonicNow() : std::chrono::steady_clock::now();
}

uint32_t TavrikDevice::hostTime() {
    const int64_t seconds =
        clock_ != nullptr ? clock_->wallSeconds() : static_cast<int64_t>(std::time(nullptr));
    return static_cast<uint32_t>(seconds);
}

std::string TavrikDevice::openKey() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return openKey_;
}

std::string TavrikDevice::name() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return name_;
}

std::string TavrikDevice::serial() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return serial_;
}

std::string TavrikDevice::typeText() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return typeText_;
}

std::string TavrikDevice::firmwareVersion() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return firmwareVersion_;
}

std::string TavrikDevice::hardwareVersion() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return hardwareVersion_;
}

int32_t TavrikDevice::configIndex() const {
    boost::lock_guard<boost::mutex> lock(identityLock_);
    return configIndex_;
}

int TavrikDevice::open(const std::string& openKey) {
    return open(openKey, OpenOptions());
}

int TavrikDevice::open(const std::string& openKey, const OpenOptions& options) {
    close();
    int result = DeviceNotOpen;
    try {
        openKey_ = openKey;
        result = connection_.openAny(applicationDeviceIds, openKey);
        if (result == Ok) {
            result = initialRead(options);
        }
        if (result == Ok) {
            {
                boost::lock_guard<boost::mutex> lock(tableLock_);
                open_ = true;
            }
            status_ = ApiThreadStopped;
        } else {
            close();
            status_ = result;
        }
    } catch (...) {
        result = DeviceNotOpen;
        close();
        status_ = DeviceNotOpen;
    }
    return result;
}

int TavrikDevice::initialRead(const OpenOptions& options) {
    name_.clear();
    serial_.clear();
    typeText_.clear();
    firmwareVersion_.clear();
    hardwareVersion_.clear();

    TavrikMessage request = statusRequest(ModeOpening, hostTime());
    TavrikMessage reply;
    int result = requestWithRetry(connection_, request, reply);
    if (result != Ok) {
        return result;
    }
    const StatusReply status = decodeStatusReply(reply);
    deviceFlags_ = status.deviceFlags;
    {
        boost::lock_guard<boost::mutex> lock(tableLock_);
        pointTable_.setDeviceFlags(status.deviceFlags);
    }
    typeText_ = status.typeText;
    firmwareVersion_ = status.firmwareVersion;
    watchdogTime_ = status.watchdogTime;
    watchdogResetPending_ = status.watchdogReset;

    uint8_t block[kInfoBlockSize] = {};
    result = readInformationBlock(block);
    if (result != Ok) {
        return result;
    }
    const InformationBlock info = decodeInformationBlock(block);
    hardwareVersion_ = info.hardwareVersion;
    serial_ = info.serial;
    name_ = info.name;

    ModuleSettings settings;
    settings.limits.fill(-1);
    if (options.useConfigFile) {
        const ConfigFile config(kConfigFileName);
        configIndex_ = config.findIndex(serial_);
        settings = config.readModuleSettings(configIndex_);
        // The product string is read only when neither name will do.
        const bool needProduct = settings.name.empty() && name_.empty();
        name_ = displayName(settings.name, name_,
                            needProduct ? connection_.productString() : std::string());
    }

    uint8_t entries[kMaxConfigEntries];
    size_t count = 0;
    result = readIoConfiguration(entries, kMaxConfigEntries, &count);
    if (result != Ok) {
        return result;
    }
    {
        boost::lock_guard<boost::mutex> lock(tableLock_);
        pointTable_.build(entries, count);
        for (uint32_t type = 0; type < kIoTypeCount; ++type) {
            const int32_t limit = settings.limits[type];
            if (limit >= 0 && static_cast<size_t>(limit) <= pointTable_.count(type)) {
                pointTable_.truncate(type, static_cast<size_t>(limit));
            }
        }
    }
    return exchangeState(ModeOpening, false);
}

int TavrikDevice::start() {
    if (apiThreadDevice == this) {
        return status_;  // its own thread runs it
    }
    boost::lock_guard<boost::mutex> lifecycle(lifecycleLock_);
    if (status_ != ApiThreadStopped) {
        return status_;
    }
    if (apiThread_.joinable()) {
        apiThread_.join();  // a thread that stopped on an error has already left its loop
    }
    {
        const SignalsBlocked noSignals;  // for the new thread only
        apiThread_ = boost::thread(&TavrikDevice::apiThread, this);
    }
    for (int wait = 0; wait < kStartWaits; ++wait) {
        boost::this_thread::sleep(boost::posix_time::milliseconds(kStartWaitMs));
        if (status_ == Ok) {
            break;
        }
    }
    return status_;
}

void TavrikDevice::apiThread() {
    apiThreadDevice = this;
    try {
        // Claims the device only if no close() came first; otherwise the stop request would be
        // overwritten and the join would wait forever.
        int expected = ApiThreadStopped;
        stopResult_ = Ok;
        if (status_.compare_exchange_strong(expected, Ok)) {
            DeviceClock::TimePoint loopTime = monotonicNow();
            ApiSchedule schedule(loopTime, kKeepAliveInterval,
                                 std::chrono::milliseconds(pointTable_.pollPeriodMs()));
            running_ = true;
            int rc = exchangeState(ModeRunning, true);
            if (watchdogResetPending_) {
                watchdogResetPending_ = false;
                raiseErrorEvent(WatchdogReset);
            }
            connection_.setMessageHandler(
                boost::bind(&TavrikDevice::handleMessage, this, boost::placeholders::_1));
            while (status_ == Ok) {
                if (schedule.takeKeepAlive(loopTime)) {
                    sendStatus(ModeRunning);
                }
                loopTime = monotonicNow();
                bool pending = false;
                {
                    boost::lock_guard<boost::mutex> lock(tableLock_);
                    pending = pointTable_.isPending() || exchangeWanted_;
                }
                if (schedule.takePoll(loopTime, pending) && rc == Ok) {
                    rc = exchangeState(ModeRunning, false);
                }
                if (rc == Ok) {
                    rc = connection_.readEvents(kEventReadMs);
                    // A read fails at once when the module has gone; passing over it would spin
                    // until the next exchange noticed.
                    if (rc == Ok && connection_.lastReadFailed()) {
                        rc = CommunicationTimeout;
                    }
                }
                if (rc != Ok) {
                    stopResult_ = rc;
                    status_ = rc;
                    raiseErrorEvent(rc);
                }
            }
        }
    } catch (...) {
        // An exception ends the thread in the same orderly way as a failure.
    }
    if (running_) {
        raiseErrorEvent(ApiThreadStopped);
    }
    running_ = false;
    connection_.setMessageHandler(TavrikConnection::MessageHandler());
    {
        // Under the lock, so that a waiter cannot miss the end between its test and its wait.
        // A close() meanwhile has the last word on the status.
        boost::lock_guard<boost::mutex> lock(tableLock_);
        status_ = open_ ? ApiThreadStopped : DeviceNotOpen;
    }
    exchanged_.notify_all();
    apiThreadDevice = nullptr;
}

// The stop request, and the module's identity and points forgotten.
void TavrikDevice::forgetModule() {
    status_ = DeviceNotOpen;
    {
        boost::lock_guard<boost::mutex> lock(tableLock_);
        open_ = false;
    }
    exchanged_.notify_all();
    boost::lock_guard<boost::mutex> lock(identityLock_);
    openKey_.clear();
    name_.clear();
    serial_.clear();
    typeText_.clear();
    firmwareVersion_.clear();
    hardwareVersion_.clear();
    configIndex_ = -1;
}

void TavrikDevice::close() {
    if (apiThreadDevice == this) {
        closeOnApiThread();
        return;
    }
    // One close at a time: the thread is joined once and the connection closed once.
    boost::lock_guard<boost::mutex> lifecycle(lifecycleLock_);
    forgetModule();
    if (apiThread_.joinable()) {
        apiThread_.join();  // the thread delivers its last events, ApiThreadStopped last
    }
    connection_.close();
    boost::lock_guard<boost::mutex> lock(tableLock_);
    pointTable_.clear();
    status_ = DeviceNotOpen;
}

// A callback that closes its own device cannot join the thread it runs on. Events stop at
// once; the loop ends at its next test of the status, and a close() on another thread still
// joins it. The connection is the API thread's own after start, so it is closed here.
void TavrikDevice::closeOnApiThread() {
    running_ = false;
    forgetModule();
    connection_.close();
    boost::lock_guard<boost::mutex> lock(tableLock_);
    pointTable_.clear();
}

size_t TavrikDevice::pointCount(uint32_t type) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    return pointTable_.count(type);
}

int TavrikDevice::getValue(uint32_t type, int32_t index) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    if (!open_) {
        return DeviceNotOpen;
    }
    return pointTable_.value(type, index);
}

int TavrikDevice::setValue(uint32_t type, int32_t index, int32_t value) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    if (!open_) {
        return DeviceNotOpen;
    }
    const int result = pointTable_.setValue(type, index, value);
    if (result == Ok) {
        ++writesSet_;
    }
    return result;
}

int TavrikDevice::getValues(TavrikPointValues& values) {
    for (std::vector<int32_t>& row : values) {
        row.clear();
    }
    boost::lock_guard<boost::mutex> lock(tableLock_);
    if (!open_) {
        return DeviceNotOpen;
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const size_t count = pointTable_.count(type);
        values[type].reserve(count);
        for (size_t index = 0; index < count; ++index) {
            values[type].push_back(pointTable_.value(type, static_cast<int32_t>(index)));
        }
    }
    return Ok;
}

int TavrikDevice::setValues(const std::vector<TavrikPointWrite>& writes) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    if (!open_) {
        return DeviceNotOpen;
    }
    for (const TavrikPointWrite& write : writes) {
        const int result = pointTable_.checkValue(write.type, write.index, write.value);
        if (result != Ok) {
            return result;
        }
    }
    for (const TavrikPointWrite& write : writes) {
        pointTable_.setValue(write.type, write.index, write.value);
    }
    writesSet_ += writes.size();
    return Ok;
}

int TavrikDevice::waitForExchange(int timeoutMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    boost::unique_lock<boost::mutex> lock(tableLock_);
    const uint64_t target = writesSet_;
    if (open_ && writesAnswered_ < target) {
        exchangeWanted_ = true;
    }
    for (;;) {
        if (!open_) {
            return DeviceNotOpen;
        }
        if (writesAnswered_ >= target) {
            return Ok;
        }
        if (status_ != Ok) {
            const int stopped = stopResult_;
            return stopped != Ok ? stopped : status_.load();
        }
        // On the monotonic clock: a wall clock set back must not stretch the wait.
        if (exchanged_.wait_until(lock, deadline) == std::cv_status::timeout &&
            writesAnswered_ < target && open_) {
            return CommunicationTimeout;
        }
    }
}

bool TavrikDevice::isRelay(uint32_t type, int32_t index) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    return pointTable_.isRelay(type, index);
}

}  // namespace tavrik
