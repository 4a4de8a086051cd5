// The bootloader device's transactions over any sequence of reply reports: each command of
// BootloaderDevice (and transact itself) runs against reports the input scripts through the
// HID seam, and must end with one of its result codes, having sent the request it stands for.
//
// Input: steps, each an operation byte, its parameters (8 bytes for ReadCrc, 1 for transact),
// a report count and that many reports. A report is a tag byte and, when the tag's top bit is
// clear, up to 64 raw bytes (the tag's low 7 bits give the count); when it is set, the tag's
// low 7 bits give the length of a payload that is sent as a well-formed frame, cut into 64-byte
// reports padded with zeros, as a module sends its replies.
#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "boot_frame.h"
#include "bootloader_device.h"
#include "fuzz_check.h"
#include "hex_text.h"
#include "hid_backend.h"
#include "scratch_dir.h"
#include "tavrik_message.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kReportSize = 64;
constexpr uint16_t kBootloaderProduct = 0xF65D;
constexpr char kSerial[] = "FZ-BOOT";
constexpr size_t kProgramRecords = 40;

// One bootloader-mode module whose replies are the input's reports. Requests are decoded with
// the module's own frame decoder, independent of the host's.
class ReportBackend : public hid::HidBackend {
  public:
    std::deque<Bytes> reports;
    std::vector<Bytes> requests;
    bool failWrites = false;
    bool lastReadEmpty = false;
    bool badReport = false;  // a write that is not report ID 0 and 64 bytes

    std::vector<hid::EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override {
        if (vendorId != kVendorId || productId != kBootloaderProduct) {
            return {};
        }
        hid::EnumeratedDevice device;
        device.path = "fuzz";
        device.vendorId = kVendorId;
        device.productId = kBootloaderProduct;
        device.serialNumber = std::wstring(kSerial, kSerial + sizeof kSerial - 1);
        return {device};
    }
    hid::hid_device* openPath(const char*, int* status) override {
        open_ = true;
        *status = hid::kOpenOk;
        return &device_;
    }
    int write(hid::hid_device* dev, const unsigned char* data, size_t length) override {
        if (dev != &device_ || !open_ || failWrites) {
            return -1;
        }
        badReport = badReport || length != kReportSize + 1 || data[0] != 0;
        for (size_t i = 1; i < length; ++i) {
            if (decoder_.feed(data[i])) {
                requests.push_back(decoder_.payload());
            }
        }
        return static_cast<int>(length);
    }
    int readTimeout(hid::hid_device* dev, unsigned char* data, size_t length, int) override {
        if (dev != &device_ || !open_) {
            return -1;
        }
        lastReadEmpty = reports.empty() || reports.front().empty();
        if (reports.empty()) {
            return 0;
        }
        const Bytes report = reports.front();
        reports.pop_front();
        const size_t n = std::min(length, report.size());
        std::copy_n(report.begin(), n, data);
        return static_cast<int>(n);
    }
    int productString(hid::hid_device*, wchar_t*, size_t) override { return -1; }
    void close(hid::hid_device*) override { open_ = false; }

    bool isOpen() const { return open_; }

  private:
    hid::hid_device device_;
    bool open_ = false;
    virt::FrameDecoder decoder_;
};

// A HEX file of two Program frames, in a scratch directory removed at exit.
const std::string& hexFile() {
    static test::ScratchDir* dir = new test::ScratchDir;
    static const std::string path = [] {
        std::string text = test::imageBaseRecord();
        for (size_t i = 0; i < kProgramRecords; ++i) {
            text += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * i),
                                    Bytes(16, static_cast<uint8_t>(i)));
        }
        text += test::endOfFileRecord();
        std::atexit([] { delete dir; });
        return dir->file("image.hex", text);
    }();
    return path;
}
constexpr size_t kProgramFrames = 2;

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes bytes(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        Bytes b(data_ + at_, data_ + at_ + n);
        at_ += n;
        return b;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The step's reports; framed holds the payloads of its well-formed frames, and pure is false
// once a raw report is among them.
struct Replies {
    std::vector<Bytes> framed;
    bool pure = true;
};

Replies queueReports(Reader& in, ReportBackend& backend) {
    Replies replies;
    const size_t count = in.byte();
    for (size_t i = 0; i < count && !in.done(); ++i) {
        const uint8_t tag = in.byte();
        const size_t length = tag & 0x7F;
        if ((tag & 0x80) == 0) {
            backend.reports.push_back(in.bytes(std::min(length, kReportSize)));
            replies.pure = false;
            continue;
        }
        const Bytes payload = in.bytes(length);
        const Bytes raw = virt::encodeFrame(payload);
        for (size_t at = 0; at < raw.size(); at += kReportSize) {
            Bytes report(raw.begin() + at, raw.begin() + std::min(raw.size(), at + kReportSize));
            report.resize(kReportSize, 0);
            backend.reports.push_back(report);
        }
        replies.framed.push_back(payload);
    }
    return replies;
}

Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

enum Op { Info, Erase, ReadCrc, Start, HardwareType, Program, Transact, Reopen, FailWrites, Ops };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReportBackend backend;
    hid::setBackend(&backend);
    const std::string& file = hexFile();
    {
        BootloaderDevice device;
        device.setSerial(kSerial);
        require(device.openBootloader() == BootOk, "the module opens");
        // The decoder's escape state carries over a transaction that ended without a frame,
        // so an exact reply is known only after one that ended on a frame.
        bool decoderClean = true;
        Reader in(data, size);
        while (!in.done()) {
            const int op = in.byte() % Ops;
            uint32_t start = 0;
            uint32_t length = 0;
            size_t expectedLength = 0;
            if (op == ReadCrc) {
                const Bytes p = in.bytes(8);
                Bytes padded = p;
                padded.resize(8, 0);
                start = readU32(padded.data());
                length = readU32(padded.data() + 4);
            } else if (op == Transact) {
                expectedLength = in.byte();
            }
            const bool wasEmpty = backend.reports.empty();
            const Replies replies = queueReports(in, backend);
            const bool wasOpen = device.isOpen();
            const size_t requestsBefore = backend.requests.size();

            int result = BootOk;
            Bytes request;  // the request it must send
            size_t replyLength = 1;
            std::string version;
            uint16_t crc = 0;
            int type = -1;
            switch (op) {
                case Info:
                    request = {BootCmdInfo};
                    replyLength = 3;
                    result = device.bootInfo(&version);
                    break;
                case Erase:
                    request = {BootCmdErase};
                    result = device.erase();
                    break;
                case ReadCrc: {
                    request = {BootCmdReadCrc};
                    const Bytes s = le32(start), l = le32(length);
                    request.insert(request.end(), s.begin(), s.end());
                    request.insert(request.end(), l.begin(), l.end());
                    replyLength = 3;
                    result = device.readCrc(start, length, &crc);
                    break;
                }
                case Start:
                    request = {BootCmdStartApplication};
                    result = device.startApplication();
                    break;
                case HardwareType:
                    request = {BootCmdHardwareType};
                    replyLength = 2;
                    result = device.hardwareType(&type);
                    break;
                case Program:
                    result = device.program(file);
                    break;
                case Transact:
                    result = device.transact(expectedLength, kBootShortTimeoutMs);
                    break;
                case Reopen:
                    require(device.openBootloader() == BootOk, "the module opens again");
                    continue;
                case FailWrites:
                    backend.failWrites = !backend.failWrites;
                    continue;
            }

            require(!backend.badReport, "every report written is report ID 0 and 64 bytes");
            if (!wasOpen) {
                require(result == BootDeviceNotOpen, "a closed device reports it is not open");
                require(backend.requests.size() == requestsBefore, "a closed device sends nothing");
                continue;
            }
            if (backend.failWrites) {
                require(result == BootWriteFailed, "a failed write is reported as such");
                continue;
            }
            require(result == BootOk || result == BootUnexpectedReply || result == BootReadFailed,
                    "a transaction ends with success, an unexpected reply or a failed read");
            require(result != BootReadFailed || backend.lastReadEmpty,
                    "a transaction gives up only when no report comes");
            require(op == Start && result == BootOk ? !device.isOpen() : device.isOpen(),
                    "only a started application closes the device");
            if (op == Program) {
                require(backend.requests.size() > requestsBefore, "Program sends a frame");
                for (size_t i = requestsBefore; i < backend.requests.size(); ++i) {
                    require(
                        !backend.requests[i].empty() && backend.requests[i][0] == BootCmdProgram,
                        "every Program frame starts with its command");
                }
            } else if (op != Transact) {
                require(backend.requests.size() == requestsBefore + 1 &&
                            backend.requests.back() == request,
                        "a command sends exactly its request");
            }

            // One well-formed reply on a clean decoder: the outcome is known exactly.
            const bool exact = decoderClean && wasEmpty && replies.pure;
            if (exact && op != Program && op != Transact && replies.framed.size() == 1) {
                const Bytes& reply = replies.framed[0];
                const bool decodable = !reply.empty();
                const bool fits =
                    decodable && reply.size() == replyLength && reply[0] == request[0];
                require(result == (!decodable ? BootReadFailed
                                   : fits     ? BootOk
                                              : BootUnexpectedReply),
                        "a well-formed reply is taken, or refused for its length or command");
                require(backend.reports.empty(), "a reply is read to its last report");
                if (result == BootOk && op == Info) {
                    require(version == std::to_string(reply[1]) + "." + std::to_string(reply[2]),
                            "BootInfo yields the reply's version");
                }
                if (result == BootOk && op == ReadCrc) {
                    require(crc == (reply[1] | reply[2] << 8), "ReadCrc yields the reply's CRC");
                }
                if (result == BootOk && op == HardwareType) {
                    require(type == reply[1], "HardwareType yields the reply's type");
                }
            }
            if (exact && op == Program && replies.framed.size() >= kProgramFrames &&
                std::all_of(replies.framed.begin(), replies.framed.end(),
                            [](const Bytes& r) { return r == Bytes{BootCmdProgram}; })) {
                require(result == BootOk, "acknowledged Program frames succeed");
                require(backend.requests.size() == requestsBefore + kProgramFrames,
                        "the file goes out in its frames");
            }
            if (result == BootOk || result == BootUnexpectedReply) {
                decoderClean = true;
            } else if (result == BootReadFailed) {
                decoderClean = false;
            }
        }
    }
    hid::setBackend(nullptr);
    return 0;
}
