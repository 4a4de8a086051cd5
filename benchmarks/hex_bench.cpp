// The Intel HEX loader: one record line, and the two passes of the firmware tool over a file
// that fills the 128 KiB image window.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "hex_file.h"
#include "hex_text.h"

namespace tavrik {
namespace {

using test::hexRecord;

constexpr size_t kDataPerLine = 16;

// The whole image window, 0x1D006000 to 0x1D026000, in 16-byte data records.
std::string fullImageText() {
    std::string text;
    uint32_t upper = 0xFFFFFFFF;
    std::vector<uint8_t> data(kDataPerLine);
    for (uint32_t address = 0x1D006000; address < 0x1D006000 + kImageSize;
         address += kDataPerLine) {
        if (address >> 16 != upper) {
            upper = address >> 16;
            text += hexRecord(
                0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
        }
        for (size_t i = 0; i < kDataPerLine; ++i) {
            data[i] = static_cast<uint8_t>((address + i) * 13);
        }
        text += hexRecord(0x00, static_cast<uint16_t>(address & 0xFFFF), data);
    }
    return text + hexRecord(0x01, 0, {});
}

// The image file in a scratch directory that lives as long as the process.
class ImageFile {
  public:
    ImageFile() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavrik-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        directory_ = pattern;
        path_ = directory_ + "/image.hex";
        text_ = fullImageText();
        std::ofstream(path_, std::ios::binary) << text_;
    }
    ~ImageFile() {
        std::error_code ignored;
        if (!directory_.empty()) {
            std::filesystem::remove_all(directory_, ignored);
        }
    }
    const std::string& path() const { return path_; }
    const std::string& text() const { return text_; }

  private:
    std::string directory_;
    std::string path_;
    std::string text_;
};

const ImageFile& imageFile() {
    static const ImageFile file;
    return file;
}

void BM_DecodeRecordLine(benchmark::State& state) {
    std::vector<uint8_t> data(kDataPerLine);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 17);
    }
    const std::string line = hexRecord(0x00, 0x6000, data);  // 43 characters and the LF
    uint8_t record[kValidateCapacity];
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeRecordLine(line.data(), line.size(), record, sizeof record));
        benchmark::ClobberMemory();
    }
    allocations.report(state);
}
BENCHMARK(BM_DecodeRecordLine);

// Each pass opens the file anew, as each step of the firmware tool does.
void BM_HexFileIsValid(benchmark::State& state) {
    const ImageFile& file = imageFile();
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        HexFile hex(file.path());
        if (!hex.isValid()) {
            state.SkipWithError("the generated file is not valid");
            break;
        }
    }
    allocations.report(state, "allocs_per_file");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.text().size()));
}
BENCHMARK(BM_HexFileIsValid)->Unit(benchmark::kMillisecond);

void BM_HexFileImageCrc(benchmark::State& state) {
    const ImageFile& file = imageFile();
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        HexFile hex(file.path());
        uint32_t start = 0;
        uint32_t length = 0;
        uint16_t crc = 0;
        hex.imageCrc(&start, &length, &crc);
        benchmark::DoNotOptimize(crc);
    }
    allocations.report(state, "allocs_per_file");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.text().size()));
}
BENCHMARK(BM_HexFileImageCrc)->Unit(benchmark::kMillisecond);

// The same image from records already in byte form: the summary alone, without the file.
void BM_ImageSummary(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> records;
    const std::string& text = imageFile().text();
    uint8_t record[kImageCapacity];
    for (size_t begin = 0; begin < text.size();) {
        const size_t end = text.find('\n', begin) + 1;
        const int length =
            decodeRecordLine(text.data() + begin, end - begin, record, sizeof record);
        if (length < 0) {
            state.SkipWithError("the generated file has a bad line");
            return;
        }
        records.emplace_back(record, record + length);
        begin = end;
    }
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        ImageSummary summary;
        for (const std::vector<uint8_t>& r : records) {
            summary.addRecord(r.data(), static_cast<int>(r.size()));
        }
        uint32_t start = 0;
        uint32_t length = 0;
        uint16_t crc = 0;
        summary.result(&start, &length, &crc);
        benchmark::DoNotOptimize(crc);
    }
    allocations.report(state, "allocs_per_image");
    state.counters["records"] = static_cast<double>(records.size());
}
BENCHMARK(BM_ImageSummary)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavrik
