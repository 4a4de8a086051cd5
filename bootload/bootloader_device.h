// One module in bootloader mode: its commands over framed HID reports, and the request that
// makes a module running its application restart into the bootloader.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "frame_codec.h"
#include "tavrik/tavrik.h"
#include "tavrik_hid.h"

namespace tavrik {

enum BootCommand : uint8_t {
    BootCmdInfo = 0x01,
    BootCmdErase = 0x02,
    BootCmdProgram = 0x03,
    BootCmdReadCrc = 0x04,
    BootCmdStartApplication = 0x05,
    BootCmdHardwareType = 0x07,
};

// Reply time-outs: each bounds every report read of a reply and the whole reply as well.
constexpr int kBootShortTimeoutMs = 2000;
constexpr int kBootLongTimeoutMs = 7000;  // erase and program

// A Program frame is closed once it holds this many payload bytes.
constexpr size_t kProgramFrameFill = 500;

class BootloaderDevice {
  public:
    using ProgressCallback = std::function<void(int percent)>;
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    BootloaderDevice() = default;
    BootloaderDevice(const BootloaderDevice&) = delete;
    BootloaderDevice& operator=(const BootloaderDevice&) = delete;
    ~BootloaderDevice();

    void setSerial(const std::string& serial) { serial_ = serial; }
    const std::string& serial() const { return serial_; }
    void setProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
    // The monotonic clock that bounds the replies; tests pass one they drive themselves.
    void setClock(ClockSource now) { now_ = std::move(now); }

    // Opens the module with this serial under the bootloader IDs: 0 or -1.
    int openBootloader();
    void close();
    bool isOpen() const { return handle_ != nullptr; }

    // Sends the payload as a frame and waits for a reply of expectedLength bytes that echoes
    // the command byte. The reply must be complete within timeoutMs of the request, however
    // many reports arrive meanwhile; BootReadFailed otherwise.
    int transact(size_t expectedLength, int timeoutMs);

    int bootInfo(std::string* version);
    int erase();
    int program(const std::string& hexFileName);
    int readCrc(uint32_t start, uint32_t length, uint16_t* crc);
    // Closes the device on success: the module leaves the bootloader.
    int startApplication();
    int hardwareType(int* type);

    // Asks the application-mode module with this serial to restart into its bootloader.
    // Every outcome is ignored: the module may already be there, absent, or restart silently.
    void enterBootloader();

  private:
    int send();
    int receive(uint8_t command, size_t expectedLength, int timeoutMs);
    int simpleCommand(uint8_t command, size_t replyLength, int timeoutMs);

    std::string serial_;
    uint8_t raw_[kRawCapacity] = {};
    size_t rawCount_ = 0;
    uint8_t payload_[kPayloadCapacity] = {};
    size_t payloadLength_ = 0;
    ProgressCallback progress_;
    ClockSource now_ = Clock::now;
    hid::hid_device* handle_ = nullptr;
    FrameDecoder decoder_;
};

}  // namespace tavrik
