// The HID connection to one application-mode module: open by device ID and serial number,
// request/reply exchange with the retry rule, and hand-off of unsolicited messages.
#pragma once

#include <boost/function.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "tavrik_hid.h"
#include "tavrik_message.h"

namespace tavrik {

// USB vendor ID in the high 16 bits, product ID in the low 16 bits.
using DeviceId = uint32_t;
constexpr DeviceId deviceId(uint16_t vendorId, uint16_t productId) {
    return (static_cast<uint32_t>(vendorId) << 16) | productId;
}
constexpr uint16_t vendorOf(DeviceId id) {
    return static_cast<uint16_t>(id >> 16);
}
constexpr uint16_t productOf(DeviceId id) {
    return static_cast<uint16_t>(id & 0xFFFF);
}

// Tried in table order.
extern const std::vector<DeviceId> applicationDeviceIds;
extern const std::vector<DeviceId> bootloaderDeviceIds;

constexpr int kReplyTimeoutMs = 100;
constexpr int kRequestAttempts = 5;

class TavrikConnection {
  public:
    using MessageHandler = boost::function<void(TavrikMessage&)>;

    TavrikConnection() = default;
    TavrikConnection(const TavrikConnection&) = delete;
    TavrikConnection& operator=(const TavrikConnection&) = delete;
    ~TavrikConnection();

    // 0, DeviceBusy or UnableToOpenDevice. The serial is widened byte by byte.
    int open(DeviceId id, const std::string& serial);
    // Stops at the first result that is 0 or DeviceBusy.
    int openAny(const std::vector<DeviceId>& ids, const std::string& serial);
    void close();
    bool isOpen() const { return device_ != nullptr; }

    // Sends one request (sets its preamble and check byte) and returns the matching reply's
    // status byte sign-extended, or a transport failure. Unsolicited messages read meanwhile go
    // to the handler; CommunicationTimeout when no reply came within 100 ms of the last report,
    // or within 500 ms of the request in all.
    int request(TavrikMessage& request, TavrikMessage& reply);
    // Passes unsolicited messages on until none arrives within the time-out, or the time-out
    // has passed in all.
    int readEvents(int timeoutMs);
    // Whether the last report read failed rather than timed out, as reads do once the module
    // has gone; readEvents still ends with 0 then.
    bool lastReadFailed() const { return lastReadFailed_; }
    std::string productString();
    void setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

  private:
    int readMessage(TavrikMessage& message, int timeoutMs, bool* timedOut);
    void deliver(TavrikMessage& message);

    hid::hid_device* device_ = nullptr;
    MessageHandler handler_;
    bool lastReadFailed_ = false;
};

// Serial numbers and HID strings travel as 8-bit text: widened byte by byte to wide characters,
// narrowed by keeping the low byte of each.
std::wstring widenText(const std::string& text);
std::string narrowText(const wchar_t* wide);

// The retry rule: up to kRequestAttempts attempts with the same request, stopping at the first
// that returns 0; otherwise the last result.
int requestWithRetry(TavrikConnection& connection, TavrikMessage& request, TavrikMessage& reply);

// Appends the serial numbers of the attached modules matching any of the IDs, narrowed to
// their low bytes, in location-key order, each serial once.
void enumerateSerials(const std::vector<DeviceId>& ids, std::vector<std::string>& serials);

}  // namespace tavrik
