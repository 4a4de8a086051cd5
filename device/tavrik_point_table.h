// The IO points of one module grouped by type, and their mapping onto the state image.
// Not thread-safe: the owning device's table lock guards every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tavrik_result.h"

namespace tavrik {

struct TavrikPoint {
    uint32_t descriptor = 0;
    uint8_t invert = 0;  // 1 for one-bit points: callers see invert XOR raw
    uint32_t raw = 0;    // value in state-image form
    bool changed = false;
    int32_t bitPosition = 0;
};

// Selection bits of encode and decode.
constexpr int kSelectReadOnly = 1;  // types that are not writable
constexpr int kSelectWritable = 2;
constexpr int kSelectAll = 3;

// Whether a point of the type may be set to v, whatever its index: InvalidParameterValue when
// the type is not writable or v is negative or wider than the point (one bit or 16), else Ok.
int checkWriteValue(uint32_t type, int32_t v);

class TavrikPointTable {
  public:
    TavrikPointTable();

    void build(const uint8_t* config, size_t count);
    void clear();
    int truncate(uint32_t type, size_t n);
    size_t count(uint32_t type) const;
    int value(uint32_t type, int32_t index) const;
    // What setValue would return for this write, without making it.
    int checkValue(uint32_t type, int32_t index, int32_t v) const;
    int setValue(uint32_t type, int32_t index, int32_t v);
    bool takeChanged(uint32_t type, size_t index);
    bool isRelay(uint32_t type, int32_t index) const;
    bool isPending() const { return pending_; }
    void encode(uint8_t* chunk, uint32_t offset, uint32_t size, int selection);
    // Also records the chunk as the module's own image (see moduleBytes).
    void decode(const uint8_t* chunk, uint32_t offset, uint32_t size, int selection);
    // Copies the module's image as it last reported it into a chunk holding image bytes
    // [offset, offset + size); bytes past the image's end are left alone. A chunk that starts
    // from it and then takes encode carries the module's own values in every bit that no point
    // of the table owns: the points a limit hides and the bits of codes that name no type.
    void moduleBytes(uint8_t* chunk, uint32_t offset, uint32_t size) const;

    int32_t pollPeriodMs() const { return pollPeriodMs_; }
    int32_t deviceFlags() const { return deviceFlags_; }
    void setDeviceFlags(int32_t flags) { deviceFlags_ = flags; }
    uint32_t imageLength() const { return imageLength_; }
    const std::vector<TavrikPoint>& row(uint32_t type) const { return rows_.at(type); }

  private:
    std::array<std::vector<TavrikPoint>, kIoTypeCount> rows_;
    int32_t pollPeriodMs_ = 900;
    bool pending_ = false;
    int32_t deviceFlags_ = 0;
    uint32_t imageLength_ = 0;
    std::vector<uint8_t> moduleImage_;  // imageLength_ bytes, as the module last reported them
};

}  // namespace tavrik
