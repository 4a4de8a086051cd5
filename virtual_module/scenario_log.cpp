#include "scenario_log.h"

#include <cinttypes>
#include <cstdio>

#include "crc16.h"

namespace tavrik::virt {

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

}  // namespace

std::string appLogLine(const TavrikMessage& request) {
    return "app " + hex(request.bytes, kMessageSize);
}

std::string bootLogLine(const std::vector<uint8_t>& payload) {
    return "boot " + hex(payload.data(), payload.size());
}

std::vector<std::string> finalLogLines(const VirtualModule& module) {
    const std::string serial = module.config().usbSerial.value_or("-");
    std::vector<std::string> lines;
    lines.push_back("mode " + serial + (module.inBootloader() ? " boot" : " app"));
    lines.push_back("state " + serial + " " + hex(module.image().data(), module.image().size()));
    const uint32_t start = module.programmedStart();
    const uint32_t length = module.programmedEnd() - start;
    uint16_t crc = 0;
    // The programmed range lies inside the flash window by construction; check anyway, as
    // the range comes from the host's records.
    if (length != 0 && start >= kFlashBase &&
        start - kFlashBase + uint64_t{length} <= module.flash().size()) {
        crc = crc16Xmodem(module.flash().data() + (start - kFlashBase), length);
    }
    char line[64];
    std::snprintf(line, sizeof line, " %08" PRIx32 " %08" PRIx32 " %04x", start, length, crc);
    lines.push_back("flash " + serial + line);
    return lines;
}

}  // namespace tavrik::virt
