// One module opened for use: identity, point table, event callback and the API thread that
// carries all traffic with the module once started.
#pragma once

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "tavrik_connection.h"
#include "tavrik_point_table.h"
#include "tavrik_result.h"

namespace tavrik {

class TavrikDevice;

// kind 1: IO event (type, index, value); kind 0: error event (type 13, index 0, value = code).
using TavrikEventCallback = std::function<void(int32_t kind, int32_t type, int32_t index,
                                               int32_t value, TavrikDevice& device)>;

constexpr int32_t kEventError = 0;
constexpr int32_t kEventIo = 1;

// The API thread's clock: the microsecond UTC clock in the product, driven by tests.
class DeviceClock {
  public:
    virtual ~DeviceClock() = default;
    virtual boost::posix_time::ptime now() = 0;
};

class TavrikDevice {
  public:
    // clock: null for the system's microsecond UTC clock.
    explicit TavrikDevice(DeviceClock* clock = nullptr);
    TavrikDevice(const TavrikDevice&) = delete;
    TavrikDevice& operator=(const TavrikDevice&) = delete;
    virtual ~TavrikDevice();

    int open(const std::string& openKey);
    int start();
    void close();

    // Identity, valid after a successful open; read on the opening thread.
    const std::string& openKey() const { return openKey_; }
    const std::string& name() const { return name_; }
    const std::string& serial() const { return serial_; }
    const std::string& typeText() const { return typeText_; }
    const std::string& firmwareVersion() const { return firmwareVersion_; }
    const std::string& hardwareVersion() const { return hardwareVersion_; }
    int32_t configIndex() const { return configIndex_; }
    int64_t watchdogTime() const { return watchdogTime_; }
    int status() const { return status_; }

    // IO points; each takes the table lock for one table call, safe from any thread.
    size_t pointCount(uint32_t type);
    int getValue(uint32_t type, int32_t index);
    int setValue(uint32_t type, int32_t index, int32_t value);
    bool isRelay(uint32_t type, int32_t index);

    // Waits until every value set before the call has gone out in a state exchange that the
    // module answered, asking the API thread for one at once. Returns 0; the result that
    // stopped the API thread (or its status when it does not run); or CommunicationTimeout
    // when timeoutMs passed first.
    int waitForExchange(int timeoutMs);

    void setEventCallback(TavrikEventCallback callback);

  private:
    int initialRead();
    int readInformationBlock(uint8_t* block);
    int readIoConfiguration(uint8_t* buffer, size_t capacity, size_t* count);
    int exchangeState(RequestMode mode, bool force);
    int sendStatus(RequestMode mode);
    void apiThread();
    void applyState(const uint8_t* chunk, uint32_t offset, uint32_t size, bool takeAll, bool force);
    void handleMessage(TavrikMessage& message);
    void raiseEvent(int32_t kind, int32_t type, int32_t index, int32_t value);
    void raiseIoEvent(uint32_t type, uint32_t index, int32_t value);
    void raiseErrorEvent(int code);
    boost::posix_time::ptime now();

    std::string openKey_;
    std::string name_;
    std::string serial_;
    std::string typeText_;
    std::string firmwareVersion_;
    std::string hardwareVersion_;
    int32_t configIndex_ = -1;
    TavrikEventCallback eventCallback_;
    TavrikPointTable pointTable_;
    boost::mutex tableLock_;
    // Under the table lock: writes set so far, how many of them an answered exchange carried,
    // and whether a caller waits for one; signalled after each exchange and when the API
    // thread ends.
    uint64_t writesSet_ = 0;
    uint64_t writesAnswered_ = 0;
    bool exchangeWanted_ = false;
    boost::condition_variable exchanged_;
    boost::mutex callbackLock_;
    std::atomic<bool> running_{false};
    std::atomic<int> status_{DeviceNotOpen};
    std::atomic<int> stopResult_{Ok};  // the failure that ended the API thread's loop
    int32_t deviceFlags_ = 0;
    TavrikConnection connection_;
    boost::thread apiThread_;
    int64_t watchdogTime_ = 0;
    bool watchdogResetPending_ = false;
    DeviceClock* clock_ = nullptr;
};

}  // namespace tavrik
