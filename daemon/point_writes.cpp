#include "point_writes.h"

#include <limits>

#include "tavrik_result.h"

namespace tavrik::daemon {

int32_t deviceIndex(uint32_t index) {
    return index > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
               ? -1
               : static_cast<int32_t>(index);
}

int checkWrite(const PointCounts& counts, const PointWrite& write) {
    if (write.type >= kIoTypeCount || write.index >= counts[write.type]) {
        return IoPointOutOfRange;
    }
    const uint32_t descriptor = pointDescriptor(write.type);
    if ((descriptor & kDescriptorWritable) == 0) {
        return InvalidParameterValue;
    }
    const int32_t largest = (descriptor & kDescriptorWide) != 0 ? 0xFFFF : 1;
    if (write.value < 0 || write.value > largest) {
        return InvalidParameterValue;
    }
    return Ok;
}

int checkWrites(const PointCounts& counts, const std::vector<PointWrite>& writes) {
    for (const PointWrite& write : writes) {
        const int result = checkWrite(counts, write);
        if (result != Ok) {
            return result;
        }
    }
    return Ok;
}

}  // namespace tavrik::daemon
