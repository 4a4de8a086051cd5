#include "tavrik_point_table.h"

#include <algorithm>

#include "tavrik_message.h"

namespace tavrik {

namespace {

bool isWide(uint32_t descriptor) {
    return (descriptor & kDescriptorWide) != 0;
}

bool isSelected(uint32_t type, int selection) {
    return isWritableType(type) ? (selection & kSelectWritable) != 0
                                : (selection & kSelectReadOnly) != 0;
}

}  // namespace

TavrikPointTable::TavrikPointTable() = default;

void TavrikPointTable::build(const uint8_t* config, size_t count) {
    // Without the extended flag only the relay bit and the type nibble of a code are valid.
    const uint32_t mask = (deviceFlags_ & kFlagExtendedLayout) ? 0xFF : 0x4F;
    clear();
    uint32_t nextBit = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t code = config[i] & mask;
        const uint32_t descriptor = pointDescriptor(code);
        const uint32_t rowType = code == kRelayCode ? Outputs : code;

        TavrikPoint point;
        point.descriptor = descriptor;
        point.invert = isWide(descriptor) ? 0 : 1;
        point.raw = point.invert;
        if (isWide(pointDescriptor(rowType))) {
            nextBit = (nextBit + 7) / 8 * 8;
            point.bitPosition = static_cast<int32_t>(nextBit);
            nextBit += 16;
        } else {
            point.bitPosition = static_cast<int32_t>(nextBit);
            nextBit += 1;
        }
        // An unknown code still occupies its bit, so the points after it keep their places.
        if (rowType < kIoTypeCount)
            rows_[rowType].push_back(point);
    }
    imageLength_ = (nextBit + 7) / 8;
    moduleImage_.assign(imageLength_, 0);
}

void TavrikPointTable::clear() {
    for (auto& row : rows_)
        row.clear();
}

int TavrikPointTable::truncate(uint32_t type, size_t n) {
    if (type >= kIoTypeCount)
        return IoPointOutOfRange;
    if (n < rows_[type].size())
        rows_[type].resize(n);
    return Ok;
}

size_t TavrikPointTable::count(uint32_t type) const {
    return type < kIoTypeCount ? rows_[type].size() : 0;
}

int TavrikPointTable::value(uint32_t type, int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= count(type))
        return IoPointOutOfRange;
    const TavrikPoint& point = rows_[type][index];
    return static_cast<int>(point.invert ^ point.raw);
}

int checkWriteValue(uint32_t type, int32_t v) {
    const uint32_t descriptor = pointDescriptor(type);
    if ((descriptor & kDescriptorWritable) == 0)
        return InvalidParameterValue;
    // A negative value would read back as a result code, and a point cannot carry more than
    // its width on the wire: a one-bit point given 2 would go out as its inverted low bit,
    // switching an output off while it read back as 2.
    const uint32_t largest = isWide(descriptor) ? 0xFFFF : 1;
    if (v < 0 || static_cast<uint32_t>(v) > largest)
        return InvalidParameterValue;
    return Ok;
}

int TavrikPointTable::checkValue(uint32_t type, int32_t index, int32_t v) const {
    if (index < 0 || static_cast<size_t>(index) >= count(type))
        return IoPointOutOfRange;
    return checkWriteValue(type, v);
}

int TavrikPointTable::setValue(uint32_t type, int32_t index, int32_t v) {
    const int result = checkValue(type, index, v);
    if (result != Ok)
        return result;

    TavrikPoint& point = rows_[type][index];
    uint32_t newValue = static_cast<uint32_t>(v);
    // Rewriting the watchdog with the value it holds is sent as 0xFFFF, so that the write
    // still reaches the module as a change.
    if (type == Watchdog && newValue == (point.invert ^ point.raw))
        newValue = 0xFFFF;
    const uint32_t newRaw = point.invert ^ newValue;
    if (newRaw != point.raw)
        point.changed = true;
    point.raw = newRaw;
    if (point.changed)
        pending_ = true;
    return Ok;
}

bool TavrikPointTable::takeChanged(uint32_t type, size_t index) {
    if (index >= count(type))
        return false;
    TavrikPoint& point = rows_[type][index];
    const bool changed = point.changed && (point.descriptor & kDescriptorMeasured) == 0;
    point.changed = false;
    return changed;
}

bool TavrikPointTable::isRelay(uint32_t type, int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= count(type))
        return false;
    return rows_[type][index].descriptor == pointDescriptor(kRelayCode);
}

void TavrikPointTable::encode(uint8_t* chunk, uint32_t offset, uint32_t size, int selection) {
    pending_ = false;
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        if (!isSelected(type, selection))
            continue;
        const uint32_t descriptor = pointDescriptor(type);
        for (TavrikPoint& point : rows_[type]) {
            const uint32_t byte = static_cast<uint32_t>(point.bitPosition) / 8;
            if (byte < offset || byte - offset >= size)
                continue;
            const uint32_t at = byte - offset;
            if (isWide(descriptor)) {
                // A word that would straddle the chunk's end goes with the next, overlapping chunk.
                if (at + 1 < size) {
                    chunk[at] = static_cast<uint8_t>(point.raw);
                    chunk[at + 1] = static_cast<uint8_t>(point.raw >> 8);
                }
                continue;
            }
            const uint8_t bit = static_cast<uint8_t>(1u << (point.bitPosition % 8));
            if (point.raw != 0)
                chunk[at] |= bit;
            else
                chunk[at] &= static_cast<uint8_t>(~bit);
            // A pulse is sent with its written value in one image only, then falls back to idle.
            if (descriptor & kDescriptorPulse) {
                if (point.raw != 1)
                    point.changed = true;
                point.raw = 1;
            }
        }
    }
}

void TavrikPointTable::decode(const uint8_t* chunk, uint32_t offset, uint32_t size, int selection) {
    if (offset < moduleImage_.size()) {
        const size_t n = std::min<size_t>(size, moduleImage_.size() - offset);
        std::copy_n(chunk, n, moduleImage_.begin() + offset);
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        if (!isSelected(type, selection))
            continue;
        const bool wide = isWide(pointDescriptor(type));
        for (TavrikPoint& point : rows_[type]) {
            const uint32_t byte = static_cast<uint32_t>(point.bitPosition) / 8;
            if (byte < offset || byte - offset >= size)
                continue;
            const uint32_t at = byte - offset;
            uint32_t newRaw;
            if (wide) {
                if (at + 1 >= size)
                    continue;
                newRaw = static_cast<uint32_t>(chunk[at] | (chunk[at + 1] << 8));
            } else {
                newRaw = (chunk[at] >> (point.bitPosition % 8)) & 1u;
            }
            if (newRaw != point.raw)
                point.changed = true;
            point.raw = newRaw;
        }
    }
}

void TavrikPointTable::moduleBytes(uint8_t* chunk, uint32_t offset, uint32_t size) const {
    if (offset < moduleImage_.size()) {
        const size_t n = std::min<size_t>(size, moduleImage_.size() - offset);
        std::copy_n(moduleImage_.begin() + offset, n, chunk);
    }
}

}  // namespace tavrik
