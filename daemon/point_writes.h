// The points of one SetValues call, checked before any of them is set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tavrik/tavrik.h"

namespace tavrik::daemon {

struct PointWrite {
    uint32_t type = 0;
    uint32_t index = 0;  // as it came over the bus; past INT32_MAX it names no point
    int32_t value = 0;
};

using PointCounts = std::array<size_t, kIoTypeCount>;

// The result setValue would give for one write on a module with these point counts: Ok,
// IoPointOutOfRange for a type or number the module lacks, InvalidParameterValue for a type
// that is not writable or a value the point cannot carry.
int checkWrite(const PointCounts& counts, const PointWrite& write);
// The first failing write's result, or Ok when every one would be taken.
int checkWrites(const PointCounts& counts, const std::vector<PointWrite>& writes);

// The bus's unsigned point number as the device layer takes it: past INT32_MAX it is -1, which
// no point has.
int32_t deviceIndex(uint32_t index);

}  // namespace tavrik::daemon
