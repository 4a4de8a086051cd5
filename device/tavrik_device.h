// One module opened for use: identity, point table, event callback and the API thread that
// carries all traffic with the module once started.
#pragma once

#include <array>
#include <atomic>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// The device's two clocks, driven by tests. The API thread schedules on the monotonic one, so
// that setting the wall clock back does not hold keep-alives and polls until it catches up;
// the module is told the wall clock's time.
class DeviceClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~DeviceClock() = default;
    virtual TimePoint monotonicNow() = 0;
    // Seconds since 1970-01-01 00:00 UTC.
    virtual int64_t wallSeconds() = 0;
};

// When the API thread's keep-alive and state poll are next due, on the monotonic clock.
class ApiSchedule {
  public:
    using TimePoint = DeviceClock::TimePoint;
    ApiSchedule(TimePoint start, std::chrono::milliseconds keepAlive,
                std::chrono::milliseconds poll);
    // True when due at now; the next one is then due one interval after now.
    bool takeKeepAlive(TimePoint now);
    bool takePoll(TimePoint now, bool pending);

  private:
    std::chrono::milliseconds keepAlive_;
    std::chrono::milliseconds poll_;
    TimePoint nextKeepAlive_;
    TimePoint nextPoll_;
};

// The name a module goes by: tavrik.ini's, else its information block's, else its HID product
// string, else a fixed default.
std::string displayName(const std::string& configName, const std::string& blockName,
                        const std::string& productString);

// How open() sets the device up.
struct OpenOptions {
    // False: tavrik.ini is not read at all. The device then has every point the module has
    // and the information block's name as it stands, also when empty: for a holder that
    // serves the module to clients which apply the file themselves.
    bool useConfigFile = true;
};

// One write of a batch (setValues).
struct TavrikPointWrite {
    uint32_t type = 0;
    int32_t index = 0;
    int32_t value = 0;
};

// Every point's value, values[type][index].
using TavrikPointValues = std::array<std::vector<int32_t>, kIoTypeCount>;

class TavrikDevice {
  public:
    // clock: null for the system's monotonic and wall clocks.
    explicit TavrikDevice(DeviceClock* clock = nullptr);
    TavrikDevice(const TavrikDevice&) = delete;
    TavrikDevice& operator=(const TavrikDevice&) = delete;
    // Closes without calling the event callback: its owner may be partly destroyed already.
    virtual ~TavrikDevice();

    int open(const std::string& openKey);
    int open(const std::string& openKey, const OpenOptions& options);
    int start();
    // Safe from any thread and any number of times, also at once. Outside the API thread it
    // waits for the thread, which delivers its last events meanwhile; once it returns no
    // callback runs. From a callback it returns at once, and no callback follows the current
    // one.
    void close();

    // Identity, valid after a successful open, emptied by close.
    std::string openKey() const;
    std::string name() const;
    std::string serial() const;
    std::string typeText() const;
    std::string firmwareVersion() const;
    std::string hardwareVersion() const;
    int32_t configIndex() const;
    int64_t watchdogTime() const { return watchdogTime_; }
    int status() const { return status_; }

    // IO points; each takes the table lock for one table call, safe from any thread. On a
    // closed device getValue and setValue return DeviceNotOpen.
    size_t pointCount(uint32_t type);
    int getValue(uint32_t type, int32_t index);
    int setValue(uint32_t type, int32_t index, int32_t value);
    bool isRelay(uint32_t type, int32_t index);
    // Every point of every type under one hold of the table lock, so that no exchange falls
    // between two of them. Ok, or DeviceNotOpen on a closed device (values are then emptied).
    int getValues(TavrikPointValues& values);
    // Checks every write as setValue does and, only when all pass, makes them all under one
    // hold of the table lock, so that one exchange carries them together. Returns Ok, or the
    // first failing write's result with nothing set.
    int setValues(const std::vector<TavrikPointWrite>& writes);

    // Waits until every value set before the call has gone out in a state exchange that the
    // module answered, asking the API thread for one at once. Returns 0; DeviceNotOpen when
    // closed, also meanwhile; the result that stopped the API thread (or its status when it
    // does not run); or CommunicationTimeout when timeoutMs passed first.
    int waitForExchange(int timeoutMs);

    void setEventCallback(TavrikEventCallback callback);

  private:
    int initialRead(const OpenOptions& options);
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
    void closeOnApiThread();
    void forgetModule();
    DeviceClock::TimePoint monotonicNow();
    uint32_t hostTime();

    // Serialises close() and start() outside the API thread.
    boost::mutex lifecycleLock_;
    // Guards the identity texts and configIndex.
    mutable boost::mutex identityLock_;
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
    bool open_ = false;  // under the table lock: from a successful open to close
    // Under the table lock: writes set so far, how many of them an answered exchange carried,
    // and whether a caller waits for one; signalled after each exchange and when the API
    // thread ends.
    uint64_t writesSet_ = 0;
    uint64_t writesAnswered_ = 0;
    bool exchangeWanted_ = false;
    std::condition_variable_any exchanged_;  // waits on the monotonic clock
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
