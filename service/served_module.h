// A module that tavrikd holds, used through the service on the bus. It shows the module as a
// direct open would: tavrik.ini's index, name and limits are read at open, here, since the
// service keeps every point and the module's own name.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tavrik_device.h"

namespace tavrik {

// The type texts of the modules that the service holds and runs, by USB serial number; empty
// when no service answers or the caller may not use it.
std::map<std::string, std::string> servedTypeTexts();

// kind, type, index, value, as the device's events; called on the client's own thread.
using ServedEventSink =
    std::function<void(int32_t kind, uint32_t type, uint32_t index, int32_t value)>;

class ServedModule {
  public:
    ServedModule();
    ServedModule(const ServedModule&) = delete;
    ServedModule& operator=(const ServedModule&) = delete;
    ~ServedModule();  // closes, without calling the sink

    // Ok when the service holds and runs the module with this USB serial and lets the caller
    // use it; DeviceBusy in every other case (no service, not held there, not allowed), for the
    // caller to open the module itself.
    int open(const std::string& serial);
    // Subscribes to the module's events and reports every point that is not writable once;
    // from then on the changes the service signals. Ok, or why events cannot flow.
    int start();
    // Safe from any thread and from the sink; once it returns the sink is not called.
    void close();

    std::string name() const;
    std::string serial() const;  // the information block's, as a direct open reads it
    std::string typeText() const;
    std::string firmwareVersion() const;
    std::string hardwareVersion() const;
    int32_t configIndex() const;
    int64_t watchdogTime() const;
    int status() const;

    // As TavrikDevice's, within tavrik.ini's limits; each value is read from the service.
    size_t pointCount(uint32_t type) const;
    int getValue(uint32_t type, int32_t index);
    bool isRelay(uint32_t type, int32_t index) const;
    // Checked here, then sent without waiting; waitForExchange collects the service's answer.
    int setValue(uint32_t type, int32_t index, int32_t value);
    // Every point within the limits, as one answer of the service, which reads them under
    // one hold of its lock.
    int getValues(TavrikPointValues& values);
    // All checked here, then sent as one call that the service sets in one exchange.
    int setValues(const std::vector<TavrikPointWrite>& writes);
    int waitForExchange(int timeoutMs);

    void setEventSink(ServedEventSink sink);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Takes a module from the service for as long as it lives: the service closes the module and
// leaves it alone, and takes it back once this ends, also when the process dies.
class ServiceInhibit {
  public:
    // Ok once the service has closed the module; DeviceBusy when another holder has it;
    // UnableToOpenDevice when no service holds a module with this serial.
    int take(const std::string& serial, const std::string& reason);
    ServiceInhibit() = default;
    ServiceInhibit(const ServiceInhibit&) = delete;
    ServiceInhibit& operator=(const ServiceInhibit&) = delete;
    ~ServiceInhibit();

  private:
    int fd_ = -1;
};

}  // namespace tavrik
