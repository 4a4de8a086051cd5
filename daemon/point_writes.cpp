#include "point_writes.h"

#include <limits>

namespace tavrik::daemon {

int32_t deviceIndex(uint32_t index) {
    return index > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
               ? -1
               : static_cast<int32_t>(index);
}

std::vector<TavrikPointWrite> deviceWrites(const std::vector<PointWrite>& writes) {
    std::vector<TavrikPointWrite> converted;
    converted.reserve(writes.size());
    for (const PointWrite& write : writes) {
        converted.push_back({write.type, deviceIndex(write.index), write.value});
    }
    return converted;
}

}  // namespace tavrik::daemon
