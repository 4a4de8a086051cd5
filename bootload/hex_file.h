// Intel HEX firmware files: validation, streaming of records in byte form, and the start,
// length and CRC of the application image they describe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tavrik {

constexpr uint32_t kImageBase = 0x9D006000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kImageCrcEnd = 0x9D01F000;

constexpr size_t kHexLineBuffer = 256;  // a line of at most 255 characters
constexpr size_t kValidateCapacity = 256;
constexpr size_t kImageCapacity = 255;
constexpr size_t kProgramCapacity = 995;

// Decodes one line as extracted by the reader: n characters, the consumed line feed counted
// in n when there was one. Returns the number of bytes decoded (at least 5) or -1.
int decodeRecordLine(const char* line, size_t n, uint8_t* buffer, size_t capacity);

// Whether a decoded record's byte count matches the data it carries, and an address record
// carries its 16-bit value. Files with any other record are refused.
bool recordIsConsistent(const uint8_t* record, int length);

// Builds the verification image from records in byte form. No I/O.
class ImageSummary {
  public:
    ImageSummary();
    void addRecord(const uint8_t* record, int length);
    // start, length and CRC of the covered range; all 0 when nothing lies in the window.
    void result(uint32_t* start, uint32_t* length, uint16_t* crc) const;

  private:
    std::vector<uint8_t> image_;
    uint32_t segment_ = 0;
    uint32_t linear_ = 0;
    uint32_t lowest_ = 0xFFFFFFFF;
    uint32_t highestEnd_ = 0;
};

class HexFile {
  public:
    explicit HexFile(const std::string& fileName);

    int readRecord(uint8_t* buffer, size_t capacity);
    // Every line a well-formed record, at least two of them.
    bool isValid();
    // Valid, and some data lies in the verified range. Without that the module would be erased,
    // given no application and still pass verification: the CRC of zero bytes always matches.
    bool isProgrammable();
    int progressPercent();
    void imageCrc(uint32_t* start, uint32_t* length, uint16_t* crc);

  private:
    void rewind();

    std::ifstream stream_;
    int64_t size_ = 0;
};

}  // namespace tavrik
