#include "tavrik_device.h"

namespace tavrik {

void TavrikDevice::setEventCallback(TavrikEventCallback callback) {
    boost::lock_guard<boost::mutex> lock(callbackLock_);
    eventCallback_ = std::move(callback);
}

// Called without either lock held, so the callback may use this device or replace itself.
void TavrikDevice::raiseEvent(int32_t kind, int32_t type, int32_t index, int32_t value) {
    if (!running_) {
        return;
    }
    TavrikEventCallback callback;
    {
        boost::lock_guard<boost::mutex> lock(callbackLock_);
        callback = eventCallback_;
    }
    if (callback) {
        callback(kind, type, index, value, *this);
    }
}

void TavrikDevice::raiseIoEvent(uint32_t type, uint32_t index, int32_t value) {
    raiseEvent(kEventIo, static_cast<int32_t>(type), static_cast<int32_t>(index), value);
}

void TavrikDevice::raiseErrorEvent(int code) {
    raiseEvent(kEventError, static_cast<int32_t>(kIoTypeCount), 0, code);
}

void TavrikDevice::applyState(const uint8_t* chunk, uint32_t offset, uint32_t size, bool takeAll,
                              bool force) {
    boost::unique_lock<boost::mutex> lock(tableLock_);
    pointTable_.decode(chunk, offset, size, takeAll ? kSelectAll : kSelectReadOnly);
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        if ((pointDescriptor(type) & kDescriptorWritable) != 0) {
            continue;
        }
        // The row is re-measured on every pass: a close() may clear it while the lock is
        // released around a callback.
        for (size_t index = 0; index < pointTable_.count(type); ++index) {
            const bool changed = pointTable_.takeChanged(type, index);
            if (changed || (force && offset == 0)) {
                const int value = pointTable_.value(type, static_cast<int32_t>(index));
                lock.unlock();
                raiseIoEvent(type, static_cast<uint32_t>(index), value);
                lock.lock();
            }
        }
    }
}

void TavrikDevice::handleMessage(TavrikMessage& message) {
    switch (message.command()) {
        case CmdStateEventBasic:
            applyState(message.bytes + msg::BasicImage, 0, msg::BasicChunk, false, false);
            break;
        case CmdStateEventExtended:
            applyState(message.bytes + msg::ExtendedImage,
                       readU16(message.bytes + msg::ImageOffset), msg::ExtendedChunk, false, false);
            break;
        case CmdErrorEvent:
            raiseErrorEvent(message.status());
            break;
        default:
            break;
    }
}

}  // namespace tavrik
