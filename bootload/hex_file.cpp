#include "hex_file.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "crc16.h"

namespace tavrik {

namespace {

constexpr size_t kRecordHeader = 4;  // count, address high, address low, type
constexpr size_t kMinimumRecord = kRecordHeader + 1;

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeSegment = 0x02;
constexpr uint8_t kTypeLinear = 0x04;

// The module's bootloader places type 02 values shifted by 8, not by the standard's 4;
// the verification CRC must agree with it.
constexpr unsigned kSegmentShift = 8;

// Value of each character as a hex digit, -1 for the others; a table, not branches, since
// it runs twice per byte of every file.
struct HexDigits {
    int8_t value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                       : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                              : int8_t{-1};
        }
    }
};
constexpr HexDigits kHexDigits;

int hexDigit(char c) {
    return kHexDigits.value[static_cast<unsigned char>(c)];
}

// As strtol in base 16 reads the pair: white space and a sign are accepted, and reading
// stops at the first character that is not a hex digit. Two hex digits, the only case in a
// well-formed file, skip strtol, which dominated the time spent on a file.
uint8_t decodePair(const char* pair) {
    const int high = hexDigit(pair[0]);
    const int low = hexDigit(pair[1]);
    if (high >= 0 && low >= 0) {
        return static_cast<uint8_t>((high << 4) | low);
    }
    const char text[3] = {pair[0], pair[1], '\0'};
    return static_cast<uint8_t>(std::strtol(text, nullptr, 16));
}

uint16_t recordValue(const uint8_t* record) {
    return static_cast<uint16_t>((record[4] << 8) | record[5]);
}

}  // namespace

int decodeRecordLine(const char* line, size_t n, uint8_t* buffer, size_t capacity) {
    if (n < 10 || line[0] != ':') {
        return -1;
    }
    size_t digits = n - 2;
    if (line[n - 2] == '\r') {
        --digits;
    }
    if (digits == 0 || digits % 2 != 0) {
        return -1;
    }
    size_t decoded = 0;
    uint8_t sum = 0;
    for (size_t i = 0; i < digits / 2 && decoded < capacity; ++i) {
        const uint8_t byte = decodePair(line + 1 + 2 * i);
        buffer[decoded++] = byte;
        sum = static_cast<uint8_t>(sum + byte);
    }
    if (decoded < kMinimumRecord || sum != 0) {
        return -1;
    }
    return static_cast<int>(decoded);
}

bool recordIsConsistent(const uint8_t* record, int length) {
    if (length < static_cast<int>(kMinimumRecord)) {
        return false;
    }
    const size_t dataBytes = static_cast<size_t>(length) - kMinimumRecord;
    if (static_cast<size_t>(record[0]) != dataBytes) {
        return false;
    }
    const uint8_t type = record[3];
    return (type != kTypeSegment && type != kTypeLinear) || dataBytes >= 2;
}

ImageSummary::ImageSummary() : image_(kImageSize, 0xFF) {}

void ImageSummary::addRecord(const uint8_t* record, int length) {
    // The count and address fields of an inconsistent record cannot be trusted.
    if (!recordIsConsistent(record, length)) {
        return;
    }
    const uint8_t count = record[0];
    switch (record[3]) {
        case kTypeData: {
            uint32_t address = static_cast<uint32_t>((record[1] << 8) | record[2]);
            // 0x1Dxxxxxx and 0x9Dxxxxxx name the same flash.
            address = (address + segment_ + linear_) | 0x80000000u;
            const uint32_t offset = address - kImageBase;
            if (offset >= kImageSize) {
                return;
            }
            highestEnd_ = std::max(highestEnd_, address + count);
            lowest_ = std::min(lowest_, address);
            if (offset + count < kImageSize) {
                std::copy(record + kRecordHeader, record + kRecordHeader + count,
                          image_.begin() + offset);
            }
            break;
        }
        case kTypeSegment:
            segment_ = static_cast<uint32_t>(recordValue(record)) << kSegmentShift;
            linear_ = 0;
            break;
        case kTypeLinear:
            linear_ = static_cast<uint32_t>(recordValue(record)) << 16;
            segment_ = 0;
            break;
        default:
            segment_ = 0;
            linear_ = 0;
            break;
    }
}

void ImageSummary::result(uint32_t* start, uint32_t* length, uint16_t* crc) const {
    const uint32_t lowest = std::max(lowest_, kImageBase);
    const uint32_t highestEnd = std::min(highestEnd_, kImageCrcEnd);
    *start = 0;
    *length = 0;
    *crc = 0;
    if (lowest < highestEnd) {
        *start = lowest;
        *length = highestEnd - lowest;
        *crc = crc16Xmodem(image_.data() + (lowest - kImageBase), *length);
    }
}

HexFile::HexFile(const std::string& fileName) {
    // Binary, so that a CR before the line feed stays visible to the record reader.
    stream_.open(fileName, std::ios::in | std::ios::binary);
    if (!stream_.is_open()) {
        return;
    }
    const std::streampos begin = stream_.tellg();
    stream_.seekg(0, std::ios::end);
    const std::streampos end = stream_.tellg();
    size_ = (begin >= 0 && end >= begin) ? static_cast<int64_t>(end - begin) : 0;
    rewind();
}

void HexFile::rewind() {
    stream_.clear();
    stream_.seekg(0, std::ios::beg);
}

int HexFile::readRecord(uint8_t* buffer, size_t capacity) {
    if (!stream_.is_open()) {
        return -1;
    }
    if (stream_.eof()) {
        return 0;
    }
    char line[kHexLineBuffer];
    stream_.getline(line, sizeof line);
    const size_t n = static_cast<size_t>(stream_.gcount());
    if (n == 0) {
        return 0;
    }
    if (stream_.fail() && !stream_.eof()) {
        // Longer than the line buffer: skip the rest of it so that the next call reads the
        // next line.
        stream_.clear();
        stream_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return -1;
    }
    return decodeRecordLine(line, n, buffer, capacity);
}

bool HexFile::isValid() {
    rewind();
    uint8_t record[kValidateCapacity];
    int calls = 0;
    int result;
    do {
        result = readRecord(record, sizeof record);
        ++calls;
        // A record whose byte count disagrees with its data would make the bootloader,
        // which walks the records by their counts, program bytes that are not in the file.
        if (result > 0 && !recordIsConsistent(record, result)) {
            return false;
        }
    } while (result > 0);
    return result == 0 && calls > 2;
}

bool HexFile::isProgrammable() {
    if (!isValid()) {
        return false;
    }
    uint32_t start = 0;
    uint32_t length = 0;
    uint16_t crc = 0;
    imageCrc(&start, &length, &crc);
    return length > 0;
}

int HexFile::progressPercent() {
    if (stream_.eof()) {
        return 100;
    }
    if (size_ == 0) {
        return 0;
    }
    const int64_t position = static_cast<int64_t>(stream_.tellg());
    if (position < 0) {
        return 0;
    }
    return static_cast<int>(std::min<int64_t>(position * 100 / size_, 100));
}

void HexFile::imageCrc(uint32_t* start, uint32_t* length, uint16_t* crc) {
    rewind();
    ImageSummary summary;
    uint8_t record[kImageCapacity];
    // A malformed line is skipped; each one consumes input, so the loop reaches the end.
    int result;
    while (stream_.is_open() && (result = readRecord(record, sizeof record)) != 0) {
        if (result > 0) {
            summary.addRecord(record, result);
        }
    }
    summary.result(start, length, crc);
    rewind();
}

}  // namespace tavrik
