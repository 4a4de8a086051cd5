// How the module lays its IO points out in its state image, worked out from its own
// configuration codes. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrik::virt {

constexpr uint32_t kTypeCount = 13;

struct PointSlot {
    size_t entry = 0;  // position in the configuration
    uint32_t type = 0;
    uint32_t index = 0;  // number within its type
    uint32_t bit = 0;    // first bit in the image; a multiple of 8 for 16-bit points
    bool wide = false;
    bool writable = false;
};

struct PointLayout {
    std::vector<PointSlot> points;  // configuration order; unknown codes hold bits but no point
    // The bits of codes this firmware knows but the host may not: outputs of a newer firmware,
    // in effect. They start at wire bit 1 and follow the host's image like writable points, so
    // a host that clears them shows.
    std::vector<uint32_t> unknownBits;
    uint32_t imageLength = 0;

    const PointSlot* find(uint32_t type, uint32_t index) const;
};

// Extended modules read all 8 bits of a code, basic ones only the relay bit and the low four.
PointLayout layoutFor(const std::vector<uint8_t>& config, bool extended);

// Wire value of a point: a bit, or a little-endian 16-bit word.
uint32_t readRaw(const std::vector<uint8_t>& image, const PointSlot& slot);
void writeRaw(std::vector<uint8_t>& image, const PointSlot& slot, uint32_t raw);

// The value the host reads from a wire value, and back.
int32_t hostValue(const PointSlot& slot, uint32_t raw);
uint32_t wireValue(const PointSlot& slot, int32_t value);

// Takes the writable points and the unknown bits that lie wholly inside a chunk of the host's
// image holding image bytes [offset, offset + size); everything else stays the module's own.
void takeWritablePoints(std::vector<uint8_t>& image, const PointLayout& layout,
                        const uint8_t* chunk, size_t offset, size_t size);

}  // namespace tavrik::virt
