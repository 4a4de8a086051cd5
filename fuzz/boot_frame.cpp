// Bootloader frames: the input as a stream of 64-byte reports into the decoder, and as a
// payload through the encoder and back.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "frame_codec.h"
#include "fuzz_check.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

constexpr size_t kReportSize = 64;

// Feeds raw report by report; returns the payloads of the frames that ended.
std::vector<std::vector<uint8_t>> decodeReports(const uint8_t* raw, size_t size) {
    std::vector<std::vector<uint8_t>> frames;
    FrameDecoder decoder;
    // Exactly the documented room, so a write past it is caught.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[kPayloadCapacity]);
    size_t length = 0;
    for (size_t at = 0; at < size; at += kReportSize) {
        const size_t count = std::min(kReportSize, size - at);
        std::unique_ptr<uint8_t[]> report(new uint8_t[count]);
        std::memcpy(report.get(), raw + at, count);
        if (decoder.feed(report.get(), count, payload.get(), &length)) {
            require(length < kDecodeLimit, "a decoded frame fits the payload room");
            frames.emplace_back(payload.get(), payload.get() + length);
            length = 0;
        }
    }
    return frames;
}

void roundTrip(const uint8_t* data, size_t size) {
    // The payload room holds the CRC too.
    const size_t length = std::min(size, kPayloadCapacity - 2);
    std::unique_ptr<uint8_t[]> raw(new uint8_t[kRawCapacity]);
    const int encoded = encodeFrame(data, length, raw.get(), kRawCapacity);
    require(encoded > 0 && static_cast<size_t>(encoded) <= encodedSizeBound(length),
            "an encoded frame fits its bound");
    // A reply carries at least its command byte, and one that reaches the decode limit with
    // its CRC is discarded.
    if (length == 0 || length + 2 >= kDecodeLimit)
        return;
    const auto frames = decodeReports(raw.get(), static_cast<size_t>(encoded));
    require(frames.size() == 1 && frames[0] == std::vector<uint8_t>(data, data + length),
            "a frame decodes to the payload it was encoded from");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeReports(data, size);
    roundTrip(data, size);
    return 0;
}
