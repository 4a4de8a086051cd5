// The points of one SetValues call as they came over the bus, and as the device layer takes
// them.
#pragma once

#include <cstdint>
#include <vector>

#include "tavrik_device.h"

namespace tavrik::daemon {

struct PointWrite {
    uint32_t type = 0;
    uint32_t index = 0;  // as it came over the bus; past INT32_MAX it names no point
    int32_t value = 0;
};

// The bus's unsigned point number as the device layer takes it: past INT32_MAX it is -1, which
// no point has.
int32_t deviceIndex(uint32_t index);

// The same writes in the same order, each with its number as deviceIndex gives it.
std::vector<TavrikPointWrite> deviceWrites(const std::vector<PointWrite>& writes);

}  // namespace tavrik::daemon
