#include "tavrik_device.h"

#include <boost/bind/bind.hpp>
#include <ctime>

#include "config_file.h"

namespace tavrik {

namespace {

const char* const kDefaultName = "Quenz Input Output Module";
constexpr int kKeepAliveSeconds = 60;
constexpr int kEventReadMs = 10;
constexpr int kStartWaits = 10;
constexpr int kStartWaitMs = 20;

}  // namespace

TavrikDevice::TavrikDevice(DeviceClock* clock) : clock_(clock) {}

TavrikDevice::~TavrikDevice() {
    close();
}

boost::posix_time::ptime TavrikDevice::now() {
    return clock_ != nullptr ? clock_->now() : boost::posix_time::microsec_clock::universal_time();
}

int TavrikDevice::open(const std::string& openKey) {
    close();
    int result = DeviceNotOpen;
    try {
        openKey_ = openKey;
        result = connection_.openAny(applicationDeviceIds, openKey);
        if (result == Ok) {
            result = initialRead();
        }
        if (result == Ok) {
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

int TavrikDevice::initialRead() {
    ConfigFile config(kConfigFileName);
    name_.clear();
    serial_.clear();
    typeText_.clear();
    firmwareVersion_.clear();
    hardwareVersion_.clear();

    TavrikMessage request = statusRequest(ModeOpening, static_cast<uint32_t>(std::time(nullptr)));
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

    configIndex_ = config.findIndex(serial_);
    const ModuleSettings settings = config.readModuleSettings(configIndex_);
    if (!settings.name.empty()) {
        name_ = settings.name;
    } else if (name_.empty()) {
        name_ = connection_.productString();
        if (name_.empty()) {
            name_ = kDefaultName;
        }
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
    if (status_ != ApiThreadStopped) {
        return status_;
    }
    if (apiThread_.joinable()) {
        apiThread_.join();  // a thread that stopped on an error has already left its loop
    }
    apiThread_ = boost::thread(&TavrikDevice::apiThread, this);
    for (int wait = 0; wait < kStartWaits; ++wait) {
        boost::this_thread::sleep(boost::posix_time::milliseconds(kStartWaitMs));
        if (status_ == Ok) {
            break;
        }
    }
    return status_;
}

void TavrikDevice::apiThread() {
    try {
        // Claims the device only if no close() came first; otherwise the stop request would be
        // overwritten and the join would wait forever.
        int expected = ApiThreadStopped;
        stopResult_ = Ok;
        if (status_.compare_exchange_strong(expected, Ok)) {
            using boost::posix_time::milliseconds;
            using boost::posix_time::seconds;
            boost::posix_time::ptime loopTime = now();
            boost::posix_time::ptime nextKeepAlive = loopTime;
            boost::posix_time::ptime nextPoll = loopTime;
            running_ = true;
            int rc = exchangeState(ModeRunning, true);
            if (watchdogResetPending_) {
                watchdogResetPending_ = false;
                raiseErrorEvent(WatchdogReset);
            }
            connection_.setMessageHandler(
                boost::bind(&TavrikDevice::handleMessage, this, boost::placeholders::_1));
            while (status_ == Ok) {
                if (loopTime >= nextKeepAlive) {
                    sendStatus(ModeRunning);
                    nextKeepAlive = loopTime + seconds(kKeepAliveSeconds);
                }
                loopTime = now();
                bool pending = false;
                {
                    boost::lock_guard<boost::mutex> lock(tableLock_);
                    pending = pointTable_.isPending() || exchangeWanted_;
                }
                if (pending || loopTime >= nextPoll) {
                    nextPoll = loopTime + milliseconds(pointTable_.pollPeriodMs());
                    if (rc == Ok) {
                        rc = exchangeState(ModeRunning, false);
                    }
                }
                if (rc == Ok) {
                    rc = connection_.readEvents(kEventReadMs);
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
        boost::lock_guard<boost::mutex> lock(tableLock_);
        status_ = ApiThreadStopped;
    }
    exchanged_.notify_all();
}

void TavrikDevice::close() {
    status_ = DeviceNotOpen;
    openKey_.clear();
    name_.clear();
    serial_.clear();
    typeText_.clear();
    firmwareVersion_.clear();
    hardwareVersion_.clear();
    configIndex_ = -1;
    // A callback that closes its own device cannot join the thread it runs on; the loop ends
    // at its next test of the status instead.
    if (apiThread_.joinable() && apiThread_.get_id() != boost::this_thread::get_id()) {
        apiThread_.join();
    }
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
    return pointTable_.value(type, index);
}

int TavrikDevice::setValue(uint32_t type, int32_t index, int32_t value) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    const int result = pointTable_.setValue(type, index, value);
    if (result == Ok) {
        ++writesSet_;
    }
    return result;
}

int TavrikDevice::waitForExchange(int timeoutMs) {
    const boost::posix_time::ptime deadline = boost::posix_time::microsec_clock::universal_time() +
                                              boost::posix_time::milliseconds(timeoutMs);
    boost::unique_lock<boost::mutex> lock(tableLock_);
    const uint64_t target = writesSet_;
    if (writesAnswered_ < target) {
        exchangeWanted_ = true;
    }
    while (writesAnswered_ < target) {
        if (status_ != Ok) {
            const int stopped = stopResult_;
            return stopped != Ok ? stopped : status_.load();
        }
        if (!exchanged_.timed_wait(lock, deadline)) {
            return writesAnswered_ >= target ? Ok : CommunicationTimeout;
        }
    }
    return Ok;
}

bool TavrikDevice::isRelay(uint32_t type, int32_t index) {
    boost::lock_guard<boost::mutex> lock(tableLock_);
    return pointTable_.isRelay(type, index);
}

}  // namespace tavrik
