// Lines of an Intel HEX file: the input as one line at every capacity the readers use, then
// split at its line feeds into the records that build the verification image.
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "hex_file.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

int decodeExactly(const uint8_t* line, size_t n, size_t capacity, uint8_t* record) {
    // Copies of exactly the line's length and the capacity, so an overrun of either is caught.
    std::unique_ptr<char[]> text(new char[n]);
    if (n > 0)
        std::memcpy(text.get(), line, n);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    const int decoded = decodeRecordLine(text.get(), n, buffer.get(), capacity);
    require(decoded == -1 || (decoded >= 5 && static_cast<size_t>(decoded) <= capacity),
            "decoded length is -1 or fits the buffer");
    if (decoded > 0 && record != nullptr)
        std::memcpy(record, buffer.get(), static_cast<size_t>(decoded));
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t capacity : {kImageCapacity, kValidateCapacity, kProgramCapacity})
        decodeExactly(data, size, capacity, nullptr);

    ImageSummary summary;
    uint8_t record[kValidateCapacity];
    for (size_t begin = 0; begin < size;) {
        const uint8_t* lineFeed =
            static_cast<const uint8_t*>(std::memchr(data + begin, '\n', size - begin));
        const size_t end = lineFeed != nullptr ? static_cast<size_t>(lineFeed - data) + 1 : size;
        const int decoded = decodeExactly(data + begin, end - begin, kValidateCapacity, record);
        if (decoded > 0)
            summary.addRecord(record, decoded);
        begin = end;
    }
    uint32_t start = 0;
    uint32_t length = 0;
    uint16_t crc = 0;
    summary.result(&start, &length, &crc);
    require(length == 0 || (start >= kImageBase && start + length <= kImageCrcEnd),
            "the summarised range lies inside the image window");
    return 0;
}
