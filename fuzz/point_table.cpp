// The point table over a module's configuration codes and its state images: the first byte
// gives the number of codes (up to 128), the codes follow, then state chunks, each as a 16-bit
// image offset, a selection and a size byte before its bytes.
#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "tavrik_message.h"
#include "tavrik_point_table.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

constexpr size_t kChunkHeader = 4;

void checkLayout(const TavrikPointTable& table) {
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const bool wide = (pointDescriptor(type) & kDescriptorWide) != 0;
        for (const TavrikPoint& point : table.row(type)) {
            const uint32_t end = static_cast<uint32_t>(point.bitPosition) / 8 + (wide ? 2 : 1);
            require(end <= table.imageLength(), "every point lies inside the image");
        }
    }
}

void exercise(int32_t flags, const uint8_t* data, size_t size) {
    TavrikPointTable table;
    table.setDeviceFlags(flags);
    const size_t count = size > 0 ? std::min<size_t>({data[0], kMaxConfigEntries, size - 1}) : 0;
    std::unique_ptr<uint8_t[]> config(new uint8_t[count]);
    if (count > 0)
        std::memcpy(config.get(), data + 1, count);
    table.build(config.get(), count);
    checkLayout(table);

    size_t at = count + 1;
    while (at + kChunkHeader <= size) {
        const uint32_t offset = readU16(data + at);
        const int selection = data[at + 2] & kSelectAll;
        const size_t chunkSize = std::min<size_t>(data[at + 3], size - at - kChunkHeader);
        at += kChunkHeader;
        // Exactly the chunk's size, so a write or read past it is caught.
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunkSize]);
        if (chunkSize > 0)
            std::memcpy(chunk.get(), data + at, chunkSize);
        table.decode(chunk.get(), offset, static_cast<uint32_t>(chunkSize), selection);
        table.encode(chunk.get(), offset, static_cast<uint32_t>(chunkSize), selection);
        at += chunkSize;
    }
    for (uint32_t type = 0; type <= kIoTypeCount; ++type) {
        for (size_t index = 0; index <= table.count(type); ++index)
            table.value(type, static_cast<int32_t>(index));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exercise(0, data, size);
    exercise(kFlagExtendedLayout, data, size);
    return 0;
}
