// A one-module HID backend whose replies are scripted report by report, so the bootloader
// device's framing can be checked on the exact reports that cross the seam.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "hid_backend.h"

namespace tavrik::test {

using Bytes = std::vector<uint8_t>;

class ScriptedBackend : public hid::HidBackend {
  public:
    ScriptedBackend();
    ~ScriptedBackend() override;

    // The module: its serial-number string, and its product ID now.
    std::wstring serial = L"B100";
    uint16_t productId = 0xF65D;
    // On a restart request in application mode, the module comes back under this product ID
    // after this many further enumerations.
    uint16_t bootloaderProductId = 0xF65D;
    int enumerationsUntilBack = 0;
    // Whether BootInfo requests are answered (with version 1.4) as they arrive.
    bool answerBootInfo = true;
    bool failWrites = false;

    // Queues input reports: a reply payload framed and cut into 64-byte reports, or raw bytes.
    void queueReply(const Bytes& payload);
    void queueReport(const Bytes& report);

    // Once the queued reports are used up, this report comes again and again, as from a
    // module that never stops sending; empty for none. After maxEndlessReports of them the
    // stream stops, so that a reader without a bound of its own still ends.
    Bytes endlessReport;
    static constexpr int maxEndlessReports = 100000;

    // The module's clock, for a device given clock() as its own: each report arrives
    // reportIntervalMs after the read began, a read that gets none lets its time-out pass.
    using Clock = std::chrono::steady_clock;
    Clock::time_point now{};
    int reportIntervalMs = 0;
    int reads = 0;
    // The longest time-out a read was given.
    int longestReadMs = 0;
    std::function<Clock::time_point()> clock() {
        return [this] { return now; };
    }

    // Every 65-byte report written, and the bootloader request payloads decoded from them.
    std::vector<Bytes> writes;
    std::vector<Bytes> requests;
    int openCount = 0;
    int enumerateCount = 0;
    bool isOpen() const { return open_ != nullptr; }

    std::vector<hid::EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override;
    hid::hid_device* openPath(const char* path, int* status) override;
    int write(hid::hid_device* dev, const unsigned char* data, size_t length) override;
    int readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                    int milliseconds) override;
    int productString(hid::hid_device* dev, wchar_t* string, size_t maxlen) override;
    void close(hid::hid_device* dev) override;

  private:
    bool present() const { return restartCountdown_ == 0; }
    bool inBootloader() const { return productId == bootloaderProductId; }

    void receiveRequestBytes(const unsigned char* data, size_t length);

    std::deque<Bytes> reports_;
    FrameDecoder requestDecoder_;
    Bytes requestPayload_ = Bytes(kPayloadCapacity);
    size_t requestLength_ = 0;
    hid::hid_device* open_ = nullptr;
    int restartCountdown_ = 0;
    int endlessSent_ = 0;
};

}  // namespace tavrik::test
