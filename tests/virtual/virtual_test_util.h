// Request building and reply reading for the virtual module tests, done by hand from the
// message layout so the tests do not lean on the host's own encoder.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "crc16.h"
#include "virtual_module.h"

namespace tavrik::virt::test {

inline uint8_t checkOf(const uint8_t* bytes) {
    return crc16Xmodem(bytes, kMessageSize - 1) & 0xFF;
}

inline uint32_t readU32Le(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline TavrikMessage request(uint8_t command, uint8_t parameter = 0) {
    TavrikMessage m;
    m.bytes[0] = kPreamble;
    m.bytes[1] = command;
    m.bytes[4] = parameter;
    return m;
}

inline TavrikMessage& seal(TavrikMessage& m) {
    m.bytes[kMessageSize - 1] = checkOf(m.bytes);
    return m;
}

inline TavrikMessage toMessage(const InputReport& report) {
    TavrikMessage m;
    std::memcpy(m.bytes, report.bytes.data(), kMessageSize);
    return m;
}

// Everything the module sends in answer to one report, emptied from its output.
inline std::vector<TavrikMessage> exchange(VirtualModule& module, TavrikMessage m,
                                           int64_t nowMs = 0) {
    seal(m);
    module.receive(m.bytes, kMessageSize, nowMs);
    std::vector<TavrikMessage> out;
    for (const InputReport& r : module.output()) {
        out.push_back(toMessage(r));
    }
    module.output().clear();
    return out;
}

inline bool wellFormed(const TavrikMessage& m) {
    return m.bytes[0] == kPreamble && m.bytes[kMessageSize - 1] == checkOf(m.bytes);
}

inline std::string text(const uint8_t* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field),
                       strnlen(reinterpret_cast<const char*>(field), size));
}

}  // namespace tavrik::virt::test
