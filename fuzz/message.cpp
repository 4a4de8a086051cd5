// Replies from a module: the report check, the status reply, the information block and the
// configuration derived from a state reply.
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "tavrik_message.h"
#include "tavrik_result.h"

using namespace tavrik;
using tavrik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's length, so a read past it is caught.
    std::unique_ptr<uint8_t[]> report(new uint8_t[size]);
    if (size > 0)
        std::memcpy(report.get(), data, size);
    validateMessage(report.get(), static_cast<int>(size));

    if (size >= kMessageSize) {
        TavrikMessage reply;
        std::memcpy(reply.bytes, data, kMessageSize);
        // Seal what the check refuses, so the readers see every payload as if it had passed.
        if (validateMessage(reply.bytes, kMessageSize) != Ok)
            sealMessage(reply);
        require(validateMessage(reply.bytes, kMessageSize) == Ok, "a sealed message passes");

        const StatusReply status = decodeStatusReply(reply);
        require(status.typeText.size() <= msg::TypeTextSize, "type text within its field");
        require(status.firmwareVersion.size() <= msg::FirmwareTextSize,
                "firmware text within its field");

        std::unique_ptr<uint8_t[]> config(new uint8_t[kMaxConfigEntries]);
        const size_t filled = deriveConfigFromStateReply(reply, config.get(), kMaxConfigEntries);
        require(filled <= kMaxConfigEntries, "derived entries within the capacity");
    }

    if (size >= kInfoBlockSize) {
        std::unique_ptr<uint8_t[]> block(new uint8_t[kInfoBlockSize]);
        std::memcpy(block.get(), data + size - kInfoBlockSize, kInfoBlockSize);
        checkInformationBlock(block.get());
        const InformationBlock info = decodeInformationBlock(block.get());
        require(info.serial.size() <= block::SerialSize, "serial within its field");
        require(info.name.size() <= block::NameSize, "name within its field");
        require(info.hardwareVersion.size() <= block::HardwareSize,
                "hardware version within its field");
    }
    return 0;
}
