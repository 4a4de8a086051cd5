#include "point_layout.h"

namespace tavrik::virt {

namespace {

constexpr uint8_t kRelayOutputCode = 65;

bool wideType(uint32_t type) {
    return type == 5 || (type >= 8 && type <= 12);
}

bool writableType(uint32_t type) {
    return type == 1 || type == 4 || type == 5 || type == 6 || type == 7 || type == 12;
}

}  // namespace

const PointSlot* PointLayout::find(uint32_t type, uint32_t index) const {
    for (const PointSlot& slot : points) {
        if (slot.type == type && slot.index == index) {
            return &slot;
        }
    }
    return nullptr;
}

PointLayout layoutFor(const std::vector<uint8_t>& config, bool extended) {
    const uint8_t mask = extended ? 0xFF : 0x4F;
    PointLayout layout;
    uint32_t perType[kTypeCount] = {};
    uint32_t nextBit = 0;
    for (size_t entry = 0; entry < config.size(); ++entry) {
        const uint8_t code = config[entry] & mask;
        const uint32_t type = code == kRelayOutputCode ? 1 : code;
        if (type >= kTypeCount) {
            layout.unknownBits.push_back(nextBit++);  // a code without a type still owns its bit
            continue;
        }
        PointSlot slot;
        slot.entry = entry;
        slot.type = type;
        slot.index = perType[type]++;
        slot.wide = wideType(type);
        slot.writable = writableType(type);
        if (slot.wide) {
            nextBit = (nextBit + 7) / 8 * 8;
            slot.bit = nextBit;
            nextBit += 16;
        } else {
            slot.bit = nextBit++;
        }
        layout.points.push_back(slot);
    }
    layout.imageLength = (nextBit + 7) / 8;
    return layout;
}

uint32_t readRaw(const std::vector<uint8_t>& image, const PointSlot& slot) {
    const size_t byte = slot.bit / 8;
    if (slot.wide) {
        if (byte + 1 >= image.size()) {
            return 0;
        }
        return image[byte] | (image[byte + 1] << 8);
    }
    if (byte >= image.size()) {
        return 0;
    }
    return (image[byte] >> (slot.bit % 8)) & 1;
}

void writeRaw(std::vector<uint8_t>& image, const PointSlot& slot, uint32_t raw) {
    const size_t byte = slot.bit / 8;
    if (slot.wide) {
        if (byte + 1 < image.size()) {
            image[byte] = raw & 0xFF;
            image[byte + 1] = (raw >> 8) & 0xFF;
        }
        return;
    }
    if (byte < image.size()) {
        const uint8_t bit = 1u << (slot.bit % 8);
        image[byte] = raw != 0 ? (image[byte] | bit) : (image[byte] & ~bit);
    }
}

int32_t hostValue(const PointSlot& slot, uint32_t raw) {
    return static_cast<int32_t>(slot.wide ? raw : raw ^ 1);
}

uint32_t wireValue(const PointSlot& slot, int32_t value) {
    if (slot.wide) {
        return static_cast<uint32_t>(value) & 0xFFFF;
    }
    return value != 0 ? 0 : 1;
}

void takeWritablePoints(std::vector<uint8_t>& image, const PointLayout& layout,
                        const uint8_t* chunk, size_t offset, size_t size) {
    for (uint32_t bit : layout.unknownBits) {
        const size_t byte = bit / 8;
        if (byte >= offset && byte - offset < size && byte < image.size()) {
            const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
            image[byte] =
                static_cast<uint8_t>((image[byte] & ~mask) | (chunk[byte - offset] & mask));
        }
    }
    for (const PointSlot& slot : layout.points) {
        const size_t byte = slot.bit / 8;
        if (!slot.writable || byte < offset || byte - offset >= size) {
            continue;
        }
        const size_t at = byte - offset;
        if (slot.wide) {
            if (at + 1 < size) {
                writeRaw(image, slot, chunk[at] | (chunk[at + 1] << 8));
            }
        } else {
            writeRaw(image, slot, (chunk[at] >> (slot.bit % 8)) & 1);
        }
    }
}

}  // namespace tavrik::virt
