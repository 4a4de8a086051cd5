// The multi-message procedures run on whichever thread owns the module's traffic.
#include <algorithm>
#include <cstring>

#include "tavrik_device.h"

namespace tavrik {

int TavrikDevice::sendStatus(RequestMode mode) {
    TavrikMessage request = statusRequest(mode, hostTime());
    TavrikMessage reply;
    return requestWithRetry(connection_, request, reply);
}

int TavrikDevice::readInformationBlock(uint8_t* block) {
    for (size_t offset = 0; offset < kInfoBlockSize; offset += msg::BlockChunkMax) {
        const size_t length = std::min(msg::BlockChunkMax, kInfoBlockSize - offset);
        TavrikMessage request =
            infoBlockRequest(static_cast<uint16_t>(offset), static_cast<uint8_t>(length));
        TavrikMessage reply;
        const int result = requestWithRetry(connection_, request, reply);
        if (result != Ok) {
            return result;
        }
        std::memcpy(block + offset, reply.bytes + msg::BlockData, length);
    }
    return checkInformationBlock(block);
}

int TavrikDevice::readIoConfiguration(uint8_t* buffer, size_t capacity, size_t* count) {
    std::memset(buffer, 0, capacity);
    *count = 0;
    TavrikMessage request = ioConfigRequest(0);
    TavrikMessage reply;
    int result = requestWithRetry(connection_, request, reply);
    if (result == Ok) {
        const size_t total = reply.bytes[msg::ConfigTotal];
        size_t offset = 0;
        for (;;) {
            const size_t n = std::min(capacity - offset, msg::ConfigEntriesMax);
            std::memcpy(buffer + offset, reply.bytes + msg::ConfigEntries, n);
            offset += n;
            // A module that reports more entries than the buffer holds is read until the buffer
            // is full; asking again would copy nothing and never advance.
            if (offset >= total || offset >= capacity) {
                break;
            }
            request = ioConfigRequest(static_cast<uint8_t>(offset));
            result = requestWithRetry(connection_, request, reply);
            if (result != Ok) {
                return result;
            }
        }
        *count = std::min(total, offset);
        return Ok;
    }

    // No command 5: derive the entries from the direction bitmap of a basic state exchange.
    request = stateRequest(false, ModeOpening);
    result = requestWithRetry(connection_, request, reply);
    if (result != Ok) {
        return result;
    }
    *count = deriveConfigFromStateReply(reply, buffer, capacity);
    return Ok;
}

int TavrikDevice::exchangeState(RequestMode mode, bool force) {
    const bool extended = (deviceFlags_ & kFlagExtendedLayout) != 0;
    const size_t area = extended ? msg::ExtendedImage : msg::BasicImage;
    const uint32_t size = extended ? msg::ExtendedChunk : msg::BasicChunk;
    const uint32_t step = extended ? msg::ExtendedStep : msg::BasicStep;
    uint32_t offset = 0;
    uint32_t imageLength = 0;
    uint64_t writesCarried = 0;
    do {
        TavrikMessage request = stateRequest(extended, mode);
        {
            boost::lock_guard<boost::mutex> lock(tableLock_);
            // Bits that no point of the table owns keep the module's own values: the host must
            // not switch what a limit hides or what it does not know.
            pointTable_.moduleBytes(request.bytes + area, offset, size);
            pointTable_.encode(request.bytes + area, offset, size, kSelectAll);
            imageLength = pointTable_.imageLength();
            if (offset == 0) {
                // Later chunks are encoded later still, so they carry these writes too.
                writesCarried = writesSet_;
                exchangeWanted_ = false;
            }
        }
        if (extended) {
            setImageOffset(request, static_cast<uint16_t>(offset));
        }
        TavrikMessage reply;
        const int result = requestWithRetry(connection_, request, reply);
        if (result != Ok) {
            return result;
        }
        applyState(reply.bytes + area, offset, size, mode == ModeOpening, force);
        offset += step;
    } while (offset < imageLength);
    {
        boost::lock_guard<boost::mutex> lock(tableLock_);
        writesAnswered_ = std::max(writesAnswered_, writesCarried);
    }
    exchanged_.notify_all();
    return Ok;
}

}  // namespace tavrik
