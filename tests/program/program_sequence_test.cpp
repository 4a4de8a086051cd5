// The programming sequence in-process, over one virtual module that lives across runs.
#include "program_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "hex_text.h"
#include "scratch_dir.h"
#include "virtual_module.h"

namespace tavrik {
namespace {

// Captures standard output for the lifetime of the object.
class CapturedOutput {
  public:
    CapturedOutput() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    std::string text() const { return text_.str(); }

  private:
    std::ostringstream text_;
    std::streambuf* previous_;
};

class ProgramSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override { hid::setBackend(&bus); }
    void TearDown() override { hid::setBackend(nullptr); }

    size_t addModule(std::vector<virt::Fault> faults) {
        virt::ModuleConfig config;
        config.usbSerial = "A100";
        config.faults = std::move(faults);
        return bus.add(config);
    }

    bool inBootloader(size_t module) {
        return bus.withModule(module,
                              [](const virt::VirtualModule& m) { return m.inBootloader(); });
    }

    std::string file() {
        std::string text = test::imageBaseRecord();
        for (uint16_t i = 0; i < 40; ++i) {
            text += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * i),
                                    std::vector<uint8_t>(16, static_cast<uint8_t>(i)));
        }
        return dir.file("firmware.hex", text + test::endOfFileRecord());
    }

    virt::VirtualBus bus;
    test::ScratchDir dir;
};

TEST_F(ProgramSequenceTest, ModuleLeftInItsBootloaderIsProgrammedByTheNextRun) {
    virt::Fault wrongCrcReply;
    wrongCrcReply.kind = virt::Fault::BootWrongLength;
    wrongCrcReply.bootCommand = 0x04;
    const size_t module = addModule({wrongCrcReply});
    const std::string firmware = file();
    {
        CapturedOutput out;
        EXPECT_EQ(programDevice("A100", firmware, std::cout, {}), BootUnexpectedReply);
        EXPECT_NE(out.text().find("Device verification failed after programming.\n"),
                  std::string::npos);
    }
    ASSERT_TRUE(inBootloader(module));
    {
        CapturedOutput out;
        EXPECT_EQ(programDevice("A100", firmware, std::cout, {}), BootOk);
        EXPECT_EQ(out.text().rfind("Searching for device\nHardware type 3\n", 0), 0u) << out.text();
        EXPECT_NE(out.text().find("Device programming succesful\n"), std::string::npos);
    }
    EXPECT_FALSE(inBootloader(module));
}

TEST_F(ProgramSequenceTest, FailedEraseStopsBeforeProgramming) {
    virt::Fault badErase;
    badErase.kind = virt::Fault::BootWrongLength;
    badErase.bootCommand = 0x02;
    const size_t module = addModule({badErase});
    CapturedOutput out;
    EXPECT_EQ(programDevice("A100", file(), std::cout, {}), BootUnexpectedReply);
    EXPECT_NE(out.text().find("Erasing device...\nFailure while erasing device.\n"),
              std::string::npos)
        << out.text();
    const size_t programFrames = bus.withModule(module, [](const virt::VirtualModule& m) {
        size_t n = 0;
        for (const auto& request : m.bootRequests()) {
            n += request.at(0) == 0x03 ? 1 : 0;
        }
        return n;
    });
    EXPECT_EQ(programFrames, 0u);
}

// Erasing the module for such a file would leave it without an application, and the CRC of
// zero bytes would still pass verification.
TEST_F(ProgramSequenceTest, FileWithoutDataInTheVerifiedRangeIsRefusedBeforeTheModuleIsTouched) {
    const size_t module = addModule({});
    const std::string firmware = dir.file(
        "outside.hex", test::hexRecord(0x00, 0x0100, {0x12, 0x34}) +
                           test::hexRecord(0x00, 0x0200, {0x56}) + test::endOfFileRecord());
    CapturedOutput out;
    EXPECT_EQ(programDevice("A100", firmware, std::cout, {}), BootInvalidHexFile);
    EXPECT_EQ(out.text(), "The file '" + firmware + "' is not a valid hex file\n");
    EXPECT_FALSE(inBootloader(module));
    bus.withModule(module, [](const virt::VirtualModule& m) {
        EXPECT_TRUE(m.requests().empty());
        EXPECT_TRUE(m.bootRequests().empty());
    });
}

TEST_F(ProgramSequenceTest, RecordsOutsideTheVerifiedRangeAreStillSent) {
    const size_t module = addModule({});
    const std::string bootFlash =
        test::hexRecord(0x04, 0, {0x1F, 0xC0}) + test::hexRecord(0x00, 0x0000, {0xB0, 0x07});
    const std::string firmware = dir.file(
        "mixed.hex", bootFlash + test::imageBaseRecord() +
                         test::hexRecord(0x00, 0x6000, {0x11, 0x22}) + test::endOfFileRecord());
    CapturedOutput out;
    EXPECT_EQ(programDevice("A100", firmware, std::cout, {}), BootOk) << out.text();
    bus.withModule(module, [](const virt::VirtualModule& m) {
        ASSERT_FALSE(m.bootRequests().empty());
        // Program frames carry the boot flash records first, in byte form.
        const std::vector<uint8_t> head = {0x03, 0x02, 0x00, 0x00, 0x04, 0x1F, 0xC0,
                                           0x1B, 0x02, 0x00, 0x00, 0x00, 0xB0, 0x07};
        bool sent = false;
        for (const auto& request : m.bootRequests()) {
            sent = sent || (request.size() >= head.size() &&
                            std::equal(head.begin(), head.end(), request.begin()));
        }
        EXPECT_TRUE(sent);
    });
}

}  // namespace
}  // namespace tavrik
