#include "tavrik_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tavrik_result.h"
#include "utf8_text.h"

namespace tavrik {

namespace {

// A module that keeps sending messages unasked must not hold a request, or the API thread's
// event read, for ever: each waits this long in all, whatever arrives meanwhile.
constexpr int kRequestTotalMs = 5 * kReplyTimeoutMs;

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at most cap; 0 once it has passed.
int remainingMs(Clock::time_point deadline, int cap) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, cap));
}

}  // namespace

TavrikConnection::~TavrikConnection() {
    close();
}

int TavrikConnection::open(DeviceId id, const std::string& serial) {
    close();
    const std::wstring wideSerial = widenText(serial);
    int status = hid::kOpenFailed;
    device_ = hid::hid_open(vendorOf(id), productOf(id), wideSerial.c_str(), &status);
    if (device_ != nullptr) {
        return Ok;
    }
    return status == hid::kOpenBusy ? DeviceBusy : UnableToOpenDevice;
}

int TavrikConnection::openAny(const std::vector<DeviceId>& ids, const std::string& serial) {
    int result = UnableToOpenDevice;
    for (DeviceId id : ids) {
        result = open(id, serial);
        if (result == Ok || result == DeviceBusy) {
            break;
        }
    }
    return result;
}

void TavrikConnection::close() {
    if (device_ != nullptr) {
        hid::hid_close(device_);
        device_ = nullptr;
    }
}

// Reads one report into message. Returns 0 with *timedOut set when no full report arrived,
// otherwise the validation result of the report.
int TavrikConnection::readMessage(TavrikMessage& message, int timeoutMs, bool* timedOut) {
    const int n = hid::hid_read_timeout(device_, message.bytes, kMessageSize, timeoutMs);
    lastReadFailed_ = n < 0;
    *timedOut = n != static_cast<int>(kMessageSize);
    if (*timedOut) {
        return Ok;
    }
    return validateMessage(message.bytes, n);
}

void TavrikConnection::deliver(TavrikMessage& message) {
    if (handler_) {
        handler_(message);
    }
}

int TavrikConnection::request(TavrikMessage& request, TavrikMessage& reply) {
    if (device_ == nullptr) {
        return DeviceNotOpen;
    }
    sealMessage(request);
    unsigned char report[hid::kReportSize] = {};
    std::memcpy(report + 1, request.bytes, kMessageSize);
    if (hid::hid_write(device_, report, hid::kReportSize) < static_cast<int>(kMessageSize)) {
        return CommunicationTimeout;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRequestTotalMs);
    int waitMs = kReplyTimeoutMs;
    while (device_ != nullptr) {
        bool timedOut = false;
        const int valid = readMessage(reply, waitMs, &timedOut);
        if (timedOut) {
            return CommunicationTimeout;
        }
        if (valid != Ok) {
            return valid;
        }
        if (reply.command() == request.command()) {
            return reply.status();
        }
        deliver(reply);
        waitMs = remainingMs(deadline, kReplyTimeoutMs);
        if (waitMs == 0) {
            return CommunicationTimeout;
        }
    }
    return DeviceNotOpen;
}

int TavrikConnection::readEvents(int timeoutMs) {
    if (device_ == nullptr) {
        return DeviceNotOpen;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int waitMs = timeoutMs;
    while (device_ != nullptr) {
        TavrikMessage message;
        bool timedOut = false;
        const int valid = readMessage(message, waitMs, &timedOut);
        if (timedOut) {
            return Ok;
        }
        if (valid != Ok) {
            return valid;
        }
        deliver(message);
        // Messages still queued wait for the next pass, so the caller's own work goes on.
        waitMs = remainingMs(deadline, timeoutMs);
        if (waitMs == 0) {
            return Ok;
        }
    }
    return DeviceNotOpen;
}

std::string TavrikConnection::productString() {
    if (device_ == nullptr) {
        return std::string();
    }
    wchar_t buffer[65] = {};
    if (hid::hid_get_product_string(device_, buffer, 65) != 0) {
        return std::string();
    }
    buffer[64] = L'\0';
    return utf8Text(buffer);
}

std::wstring widenText(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (unsigned char c : text) {
        wide.push_back(static_cast<wchar_t>(c));
    }
    return wide;
}

std::string narrowText(const wchar_t* wide) {
    std::string text;
    for (const wchar_t* p = wide; *p != L'\0'; ++p) {
        text.push_back(static_cast<char>(static_cast<uint32_t>(*p) & 0xFF));
    }
    return text;
}

int requestWithRetry(TavrikConnection& connection, TavrikMessage& request, TavrikMessage& reply) {
    int result = Ok;
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        result = connection.request(request, reply);
        if (result == Ok) {
            break;
        }
    }
    return result;
}

}  // namespace tavrik
