// tavrik_program run as its own process over a scenario's virtual modules.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "crc16.h"
#include "hex_text.h"
#include "run_process.h"
#include "scratch_dir.h"
#ifndef _WIN32
#include "test_service.h"
#endif

namespace tavrik {
namespace {

using Bytes = std::vector<uint8_t>;

const char kHelp[] =
    "Tavrik device firmware upgrade\n"
    "------------------------------------------\n"
    "-h : print help\n"
    "-v : print application version\n"
    "-l : list available devices\n"
    "-p : program device <hex file> <serial num>\n"
    "\n";

// 48 records of 16 bytes from 0x9D006000, among them bytes that need escaping on the wire.
struct Image {
    Bytes data;
    std::string text;
};

Image makeImage() {
    Image image;
    image.text = test::imageBaseRecord();
    for (uint16_t record = 0; record < 48; ++record) {
        Bytes chunk;
        for (int i = 0; i < 16; ++i) {
            const uint8_t specials[] = {0x01, 0x04, 0x10};
            chunk.push_back(i % 5 == 0 ? specials[(record + i) % 3]
                                       : static_cast<uint8_t>(record * 7 + i));
        }
        image.text += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * record), chunk);
        image.data.insert(image.data.end(), chunk.begin(), chunk.end());
    }
    image.text += test::endOfFileRecord();
    return image;
}

class ProgramToolTest : public ::testing::Test {
  protected:
    // Writes the scenario (with its log beside it) and runs the program over it.
    // With TAVRIK_TEST_VIA_SERVICE=1 tavrikd holds the modules first and the program takes
    // the module from it for the upgrade; the service is ended after the run, so that the log
    // is whole.
    test::ProcessResult run(const std::vector<std::string>& args, const std::string& modules) {
        const std::string scenario = dir.file("bus.scenario", "log = run.log\n" + modules);
        std::map<std::string, std::string> env{{"TAVRIK_VIRTUAL_SCENARIO", scenario}};
#ifndef _WIN32
        std::unique_ptr<test::TestService> service;
        if (test::viaService()) {
            service = std::make_unique<test::TestService>();
            EXPECT_TRUE(service->start(scenario)) << service->why();
            const std::map<std::string, std::string> client = service->clientEnv();
            env.insert(client.begin(), client.end());
        }
#endif
        test::ProcessResult result = test::runProcess(TAVRIK_PROGRAM_VIRTUAL, {args, env, ""});
#ifndef _WIN32
        if (service) {
            EXPECT_EQ(service->stop(), 0) << "tavrikd did not end cleanly";
        }
#endif
        return result;
    }

    std::vector<std::string> log() const {
        std::ifstream in(dir.path("run.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    size_t logCount(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& line : log()) {
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    std::string flashLine(const std::string& serial) const {
        char expected[80];
        std::snprintf(expected, sizeof expected, "flash %s %08x %08zx %04x", serial.c_str(),
                      0x9D006000u, image.data.size(),
                      crc16Xmodem(image.data.data(), image.data.size()));
        return expected;
    }

    test::ScratchDir dir;
    const Image image = makeImage();
    const std::string hexFile = dir.file("firmware.hex", image.text);
};

const char kAppModule[] = "[module]\nserial = A100\n";
const char kBootModule[] = "[module]\nserial = A100\nbootloader = 1\n";

// The eleven lines of a successful run, the search dots and progress values left open.
const std::regex kSuccess(
    "Searching for device(\\.{0,30})\n"
    "Hardware type 3\n"
    "Device serial number A100 opened\n"
    "Erasing device...\n"
    "Device erased\n"
    "Programming device...\n"
    "(\rprogress [0-9]{1,2}%)*\rprogress 100%\n"
    "Verifying flash memory...\n"
    "Flash verification passed\n"
    "Starting device application\n"
    "Device programming succesful\n");

TEST_F(ProgramToolTest, CompleteRunProgramsTheImageAndStartsIt) {
    const test::ProcessResult r = run({"-p", hexFile, "A100"}, kAppModule);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_match(r.out, kSuccess)) << r.out;
    EXPECT_EQ(r.err, "");
    // One restart request; the module's flash holds the image; it runs the application again.
    EXPECT_EQ(logCount("app aa0100000001"), 1u);
    EXPECT_EQ(logCount("boot 05"), 1u);
    const std::vector<std::string> lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), flashLine("A100")), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "mode A100 app"), lines.end());
}

TEST_F(ProgramToolTest, ModuleInItsBootloaderIsFoundAtOnce) {
    const test::ProcessResult r = run({"-p", hexFile, "A100"}, kBootModule);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, kSuccess)) << r.out;
    EXPECT_EQ(m[1].str(), "");
    EXPECT_EQ(logCount("app "), 0u);
}

TEST_F(ProgramToolTest, InvalidFileIsReportedBeforeAnyDeviceAccess) {
    for (const std::string& file :
         {dir.file("bad.hex", image.text + "\n"), dir.path("missing.hex")}) {
        const test::ProcessResult r = run({"-p", file, "A100"}, kAppModule);
        EXPECT_EQ(r.exitStatus, 253);
        EXPECT_EQ(r.out, "The file '" + file + "' is not a valid hex file\n");
        EXPECT_EQ(logCount("app "), 0u);
        EXPECT_EQ(logCount("boot "), 0u);
    }
}

// Files that pass the record checks but put nothing in the verified range
// (0x9D006000 to 0x9D01F000): refused as invalid, and the module keeps its application.
struct OutsideCase {
    const char* name;
    std::string records;
};

class OutsideRangeTest : public ProgramToolTest,
                         public ::testing::WithParamInterface<OutsideCase> {};

TEST_P(OutsideRangeTest, FileIsRefusedAndTheModuleIsLeftAlone) {
    const std::string file = dir.file("outside.hex", GetParam().records + test::endOfFileRecord());
    const test::ProcessResult r = run({"-p", file, "A100"}, kAppModule);
    EXPECT_EQ(r.exitStatus, 253);
    EXPECT_EQ(r.out, "The file '" + file + "' is not a valid hex file\n");
    EXPECT_EQ(r.err, "");
    // Not even the restart request: the module is never put in its bootloader.
    EXPECT_EQ(logCount("app "), 0u);
    EXPECT_EQ(logCount("boot "), 0u);
}

std::string linearRecord(uint16_t upper) {
    return test::hexRecord(0x04, 0,
                           {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

INSTANTIATE_TEST_SUITE_P(
    Files, OutsideRangeTest,
    ::testing::Values(
        OutsideCase{"BelowImageBase",
                    test::imageBaseRecord() + test::hexRecord(0x00, 0x5FF0, Bytes(16, 0xA5))},
        OutsideCase{"PastCrcEnd", linearRecord(0x9D01) + test::hexRecord(0x00, 0xF000, {1, 2}) +
                                      linearRecord(0x9D02) + test::hexRecord(0x00, 0x0000, {3})},
        OutsideCase{"BootFlash", linearRecord(0x1FC0) + test::hexRecord(0x00, 0x0000, {1, 2})},
        OutsideCase{"WithoutAddressRecord", test::hexRecord(0x00, 0x6000, {1, 2, 3, 4})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgramToolTest, MissingModuleIsSearchedThirtyTimes) {
    const test::ProcessResult r = run({"-p", hexFile, "Z999"}, kAppModule);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.out, "Searching for device" + std::string(30, '.') +
                         "\nUnable to open device Z999 for programming.\n");
    EXPECT_EQ(logCount("app "), 0u);
}

TEST_F(ProgramToolTest, FlashMismatchFailsVerificationAndKeepsTheBootloader) {
    const test::ProcessResult r =
        run({"-p", hexFile, "A100"}, std::string(kBootModule) + "fault = flash_stuck_byte\n");
    EXPECT_EQ(r.exitStatus, 252);
    EXPECT_NE(r.out.find("Verifying flash memory...\n"
                         "Device verification failed after programming.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Starting"), std::string::npos);
    EXPECT_EQ(logCount("boot 05"), 0u);
    EXPECT_EQ(logCount("mode A100 boot"), 1u);
}

TEST_F(ProgramToolTest, UnknownHardwareTypeDoesNotStopTheUpgrade) {
    const test::ProcessResult r = run(
        {"-p", hexFile, "A100"}, std::string(kBootModule) + "fault = boot_no_answer command=7\n");
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_NE(r.out.find("\nHardware type 0\nDevice serial number A100 opened\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(logCount("boot 05"), 1u);
}

TEST_F(ProgramToolTest, ListingCoversBothModesInPhysicalOrder) {
    const test::ProcessResult r =
        run({"-l"},
            "[module]\nserial = APP2\nlocation = 00000002.\n"
            "[module]\nserial = BOOT1\nbootloader = 1\nlocation = 00000001.\n");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "BOOT1\nAPP2\n");
}

TEST_F(ProgramToolTest, ListingEscapesControlBytesOfSerialNumbers) {
    const test::ProcessResult r =
        run({"-l"}, "[module]\nserial = A\x1B]2;x\x07\\\x85Z\nbootloader = 1\n");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "A\\x1B]2;x\\x07\\\\x85Z\n");
}

// The command line, with a module A100 in its bootloader on the bus.
struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;  // "FILE" stands for a valid firmware file
    std::string out;
    std::string err;
    int exitStatus;
    bool programs;
};

class CommandLineTest : public ProgramToolTest,
                        public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTest, OptionsAndArguments) {
    std::vector<std::string> args = GetParam().args;
    for (std::string& arg : args) {
        if (arg == "FILE") {
            arg = hexFile;
        }
    }
    const test::ProcessResult r = run(args, kBootModule);
    EXPECT_EQ(r.exitStatus, GetParam().exitStatus);
    EXPECT_EQ(r.err, GetParam().err);
    if (GetParam().programs) {
        EXPECT_TRUE(std::regex_match(r.out, kSuccess)) << r.out;
        EXPECT_EQ(logCount("boot 05"), 1u);
    } else {
        EXPECT_EQ(r.out, GetParam().out);
        EXPECT_EQ(logCount("boot "), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        CommandLineCase{"NoArguments", {}, kHelp, "", 0, false},
        CommandLineCase{"HelpWinsOverList", {"-l", "-h"}, kHelp, "", 0, false},
        CommandLineCase{"VersionWinsOverProgram",
                        {"-p", "FILE", "A100", "-v"},
                        "version: 1.2.3\n",
                        "",
                        0,
                        false},
        CommandLineCase{
            "ListWinsOverProgram", {"-p", "FILE", "A100", "-l"}, "A100\n", "", 0, false},
        CommandLineCase{
            "UnknownOption", {"-x"}, "", "Invalid command line arguments\n", 255, false},
        CommandLineCase{"ProgramWithOneArgument",
                        {"-p", "FILE"},
                        kHelp,
                        "\nfilename and device index must be supplied with -p option\n\n",
                        255,
                        false},
        CommandLineCase{"EmptyFileArgument",
                        {"-p", "", "A100"},
                        kHelp,
                        "\nInvalid file specified for -p option\n\n",
                        255,
                        false},
        CommandLineCase{"BlankSerialArgument",
                        {"-p", "FILE", "   "},
                        kHelp,
                        "\nInvalid serial number specified for -p option\n\n",
                        255,
                        false},
        CommandLineCase{
            "ExtraArgumentsAreIgnored", {"-q", "-p", "FILE", " A100 x", "-z"}, "", "", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgramToolTest, ListingWithoutModules) {
    const test::ProcessResult r = run({"-l"}, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "No Tavrik devices found or all devices in use\n");
}

}  // namespace
}  // namespace tavrik
