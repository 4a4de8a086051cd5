// The firmware upgrade through the public API on both paths, and its results' messages.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <vector>

#include "hex_text.h"
#include "scenario_environment.h"
#include "tavrik/tavrik.h"

namespace tavrik {
namespace {

test::ScenarioEnvironment* const kEnvironment =
    static_cast<test::ScenarioEnvironment*>(::testing::AddGlobalTestEnvironment(
        new test::ScenarioEnvironment("[module]\nserial = U-A\nlocation = 1-1\n")));

std::string imageFile() {
    std::string image = test::imageBaseRecord();
    for (uint16_t record = 0; record < 4; ++record) {
        image += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * record),
                                 std::vector<uint8_t>(16, static_cast<uint8_t>(record + 1)));
    }
    return kEnvironment->file("firmware.hex", image + test::endOfFileRecord());
}

TEST(Upgrade, ProgramsTheModuleAndReportsProgressAndSteps) {
    std::vector<int> progress;
    std::ostringstream log;
    ASSERT_EQ(programFirmware(
                  imageFile(), "U-A", [&](int p) { progress.push_back(p); }, &log),
              BootOk);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    EXPECT_NE(log.str().find("Device programming succesful\n"), std::string::npos) << log.str();
    // The module runs its application again, and opens as before.
    Device dev;
    EXPECT_EQ(dev.open("U-A"), Ok);
}

TEST(Upgrade, RefusedFileAndUnknownModuleFailWithTheirResults) {
    struct Case {
        std::string file;
        std::string serial;
        int result;
    };
    for (const Case& c : {Case{kEnvironment->path("missing.hex"), "U-A", BootInvalidHexFile},
                          Case{kEnvironment->file("bad.hex", ":00000001FE\nnot hex\n"), "U-A",
                               BootInvalidHexFile}}) {
        EXPECT_EQ(programFirmware(c.file, c.serial), c.result) << c.file;
    }
    // The module stays as it was, held by the same side.
    Device dev;
    EXPECT_EQ(dev.open("U-A"), Ok);
    EXPECT_EQ(dev.viaService(), test::expectedViaService());
}

TEST(Upgrade, EveryResultHasItsOwnMessage) {
    std::set<std::string> messages;
    for (BootloaderResult code :
         {BootOk, BootDeviceNotFound, BootDeviceNotOpen, BootInvalidHexFile, BootVerifyFailed,
          BootUnexpectedReply, BootWriteFailed, BootReadFailed}) {
        const std::string message = resultMessage(code);
        EXPECT_NE(message, "Unknown Error") << code;
        EXPECT_TRUE(messages.insert(message).second) << message;
    }
    EXPECT_EQ(resultMessage(static_cast<BootloaderResult>(-99)), "Unknown Error");
    EXPECT_EQ(resultMessage(BootInvalidHexFile), "Not a valid hex file");
    EXPECT_EQ(pointResultMessage(IoPointOutOfRange, Outputs, 7),
              "IO point number outside range: outputs 7");
    EXPECT_EQ(libraryVersion(), TAVRIK_VERSION);
}

}  // namespace
}  // namespace tavrik
