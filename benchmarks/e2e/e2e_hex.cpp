// The HEX work of tavrik_program before it touches a module, as its own process so that its
// wall time compares with objcopy's and srec_cat's on the same file.
//
//   bench_e2e_hex gen <data bytes> <file>   writes a file of 16-byte data records from the
//                                           start of the image window
//   bench_e2e_hex check <file>              validation and image summary; prints the summary
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "hex_file.h"
#include "hex_text.h"

namespace {

constexpr uint32_t kFileBase = 0x1D006000;  // the window's physical address
constexpr size_t kDataPerLine = 16;

int generate(size_t bytes, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    uint32_t upper = 0xFFFFFFFF;
    std::vector<uint8_t> data(kDataPerLine);
    for (uint32_t address = kFileBase; address < kFileBase + bytes; address += kDataPerLine) {
        if (address >> 16 != upper) {
            upper = address >> 16;
            out << tavrik::test::hexRecord(
                0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
        }
        for (size_t i = 0; i < kDataPerLine; ++i) {
            data[i] = static_cast<uint8_t>((address + i) * 13);
        }
        out << tavrik::test::hexRecord(0x00, static_cast<uint16_t>(address & 0xFFFF), data);
    }
    out << tavrik::test::hexRecord(0x01, 0, {});
    return out ? 0 : 1;
}

int check(const std::string& path) {
    tavrik::HexFile file(path);
    if (!file.isValid()) {
        std::fprintf(stderr, "%s: not a valid hex file\n", path.c_str());
        return 1;
    }
    uint32_t start = 0;
    uint32_t length = 0;
    uint16_t crc = 0;
    file.imageCrc(&start, &length, &crc);
    std::printf("start 0x%08X length %u crc 0x%04X\n", start, length, crc);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gen" && argc == 4) {
        return generate(std::strtoul(argv[2], nullptr, 0), argv[3]);
    }
    if (mode == "check" && argc == 3) {
        return check(argv[2]);
    }
    std::fprintf(stderr, "usage: bench_e2e_hex gen <bytes> <file> | check <file>\n");
    return 2;
}
