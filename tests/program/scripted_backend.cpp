#include "scripted_backend.h"

#include <algorithm>
#include <cstring>

#include "tavrik_message.h"

namespace tavrik::test {

ScriptedBackend::ScriptedBackend() {
    hid::setBackend(this);
}

ScriptedBackend::~ScriptedBackend() {
    hid::setBackend(nullptr);
    delete open_;
}

void ScriptedBackend::queueReply(const Bytes& payload) {
    Bytes raw(kRawCapacity);
    raw.resize(encodeFrame(payload.data(), payload.size(), raw.data(), raw.size()));
    for (size_t i = 0; i < raw.size(); i += 64) {
        reports_.emplace_back(raw.begin() + i, raw.begin() + std::min(raw.size(), i + 64));
    }
}

void ScriptedBackend::queueReport(const Bytes& report) {
    reports_.push_back(report);
}

void ScriptedBackend::receiveRequestBytes(const unsigned char* data, size_t length) {
    if (!requestDecoder_.feed(data, length, requestPayload_.data(), &requestLength_)) {
        return;
    }
    requests.emplace_back(requestPayload_.begin(), requestPayload_.begin() + requestLength_);
    requestLength_ = 0;
    if (answerBootInfo && requests.back() == Bytes{0x01}) {
        queueReply({0x01, 0x01, 0x04});
    }
}

std::vector<hid::EnumeratedDevice> ScriptedBackend::enumerate(uint16_t vendorId,
                                                              uint16_t productId) {
    ++enumerateCount;
    if (restartCountdown_ > 0) {
        --restartCountdown_;
    }
    if (!present() || vendorId != kVendorId || productId != this->productId) {
        return {};
    }
    hid::EnumeratedDevice device;
    device.path = "scripted";
    device.vendorId = kVendorId;
    device.productId = productId;
    device.serialNumber = serial;
    return {device};
}

hid::hid_device* ScriptedBackend::openPath(const char*, int* status) {
    ++openCount;
    delete open_;
    open_ = new hid::hid_device;
    *status = hid::kOpenOk;
    return open_;
}

int ScriptedBackend::write(hid::hid_device* dev, const unsigned char* data, size_t length) {
    if (dev != open_ || failWrites) {
        return -1;
    }
    writes.emplace_back(data, data + length);
    if (!inBootloader()) {
        // A status request with byte 5 set: restart into the bootloader.
        if (length == 65 && data[2] == 0x01 && data[6] == 0x01) {
            productId = bootloaderProductId;
            restartCountdown_ = enumerationsUntilBack;
        }
        return static_cast<int>(length);
    }
    receiveRequestBytes(data + 1, length - 1);
    return static_cast<int>(length);
}

int ScriptedBackend::readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                                 int milliseconds) {
    if (dev != open_) {
        return -1;
    }
    ++reads;
    longestReadMs = std::max(longestReadMs, milliseconds);
    if (reports_.empty() && !endlessReport.empty() && endlessSent_ < maxEndlessReports) {
        ++endlessSent_;
        reports_.push_back(endlessReport);
    }
    if (reports_.empty() || reportIntervalMs > milliseconds) {
        now += std::chrono::milliseconds(milliseconds);
        return 0;
    }
    now += std::chrono::milliseconds(reportIntervalMs);
    const Bytes report = reports_.front();
    reports_.pop_front();
    const size_t n = std::min(length, report.size());
    std::memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

int ScriptedBackend::productString(hid::hid_device*, wchar_t*, size_t) {
    return -1;
}

void ScriptedBackend::close(hid::hid_device* dev) {
    if (dev == open_) {
        delete open_;
        open_ = nullptr;
    }
}

}  // namespace tavrik::test
