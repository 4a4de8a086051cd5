// The bus as the HID layer sees it: enumeration, opening, reports, and modules that leave.
#include <gtest/gtest.h>

#include <thread>

#include "boot_frame.h"
#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

constexpr int kGenerous = 5000;  // ms; only ever waited out when a test fails

ModuleConfig moduleWith(const char* serial) {
    ModuleConfig config;
    if (serial != nullptr) {
        config.usbSerial = serial;
    }
    config.infoSerial = serial != nullptr ? serial : "";
    config.ioConfig = {0, 0, 1, 1};
    return config;
}

class BusTest : public ::testing::Test {
  protected:
    ~BusTest() override {
        for (hid::hid_device* dev : open_) {
            bus.close(dev);
        }
    }

    hid::hid_device* openFirst(uint16_t productId, int* status = nullptr) {
        const auto devices = bus.enumerate(0x04D8, productId);
        if (devices.empty()) {
            return nullptr;
        }
        hid::hid_device* dev = bus.openPath(devices.front().path.c_str(), status);
        if (dev != nullptr) {
            open_.push_back(dev);
        }
        return dev;
    }

    int send(hid::hid_device* dev, TavrikMessage m) {
        test::seal(m);
        unsigned char report[65] = {};
        std::memcpy(report + 1, m.bytes, kMessageSize);
        return bus.write(dev, report, sizeof report);
    }

    int read(hid::hid_device* dev, TavrikMessage& m, int timeoutMs = kGenerous) {
        return bus.readTimeout(dev, m.bytes, kMessageSize, timeoutMs);
    }

    VirtualBus bus;
    std::vector<hid::hid_device*> open_;
};

TEST_F(BusTest, EnumeratesPresentModulesByProductId) {
    ModuleConfig second = moduleWith(nullptr);
    second.applicationPid = 0xF2F1;
    second.location = "00140000.00000001.";
    second.productString = "Other";
    ModuleConfig third = moduleWith("C300");
    third.startInBootloader = true;
    bus.add(moduleWith("A100"));
    bus.add(second);
    bus.add(third);

    EXPECT_EQ(bus.enumerate(0, 0).size(), 3u);
    const auto app = bus.enumerate(0x04D8, 0xF2F1);
    ASSERT_EQ(app.size(), 1u);
    EXPECT_FALSE(app[0].serialNumber);
    EXPECT_EQ(app[0].location, "00140000.00000001.");
    EXPECT_EQ(app[0].product, L"Other");
    EXPECT_EQ(app[0].interfaceNumber, -1);
    const auto boot = bus.enumerate(0x04D8, 0xF65D);
    ASSERT_EQ(boot.size(), 1u);
    EXPECT_EQ(boot[0].serialNumber, L"C300");
    EXPECT_TRUE(bus.enumerate(0x1234, 0).empty());
}

TEST_F(BusTest, OpenReportsBusyAndUnknownPaths) {
    bus.add(moduleWith("A100"));
    ModuleConfig held = moduleWith("B200");
    held.applicationPid = 0xF306;
    held.busy = true;
    bus.add(held);
    int status = 0;
    EXPECT_EQ(openFirst(0xF306, &status), nullptr);
    EXPECT_EQ(status, hid::kOpenBusy);
    EXPECT_EQ(bus.openPath("virtual:7:0", &status), nullptr);
    EXPECT_EQ(status, hid::kOpenFailed);
    EXPECT_EQ(bus.openPath("/dev/hidraw0", &status), nullptr);
    EXPECT_EQ(status, hid::kOpenFailed);

    hid::hid_device* dev = openFirst(0xF713, &status);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(status, hid::kOpenOk);
    EXPECT_EQ(openFirst(0xF713, &status), nullptr) << "a second handle is refused";
    EXPECT_EQ(status, hid::kOpenBusy);
    bus.close(dev);
    open_.clear();
    EXPECT_NE(openFirst(0xF713), nullptr);

    bus.setBusy(1, false);
    EXPECT_NE(openFirst(0xF306), nullptr);
}

TEST_F(BusTest, ReplyArrivesAsOneInputReport) {
    bus.add(moduleWith("A100"));
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(send(dev, test::request(CmdStatus)), 65);
    TavrikMessage reply;
    EXPECT_EQ(read(dev, reply), 64);
    EXPECT_TRUE(test::wellFormed(reply));
    EXPECT_EQ(reply.bytes[1], CmdStatus);
    EXPECT_EQ(read(dev, reply, 0), 0);
    EXPECT_EQ(bus.readCount(0), 2u);
    EXPECT_EQ(bus.withModule(0, [](VirtualModule& m) { return m.requestCount(CmdStatus); }), 1u);

    unsigned char shortReport[64] = {};
    EXPECT_EQ(bus.write(dev, shortReport, sizeof shortReport), -1);
    unsigned char numbered[65] = {1};
    EXPECT_EQ(bus.write(dev, numbered, sizeof numbered), -1);

    wchar_t product[4];
    EXPECT_EQ(bus.productString(dev, product, 4), 0);
    EXPECT_EQ(std::wstring(product), L"Tav");
}

TEST_F(BusTest, LateReplyGoesToTheReadAfterTheTimeOut) {
    bus.add(moduleWith("A100"));
    Fault fault;
    fault.kind = Fault::LateReply;
    bus.injectFault(0, fault);
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    send(dev, test::request(CmdStatus));
    TavrikMessage reply;
    EXPECT_EQ(read(dev, reply, 20), 0);
    EXPECT_EQ(read(dev, reply, 0), 64);
    EXPECT_EQ(reply.bytes[1], CmdStatus);
}

TEST_F(BusTest, UnpluggedModuleFailsAndVanishes) {
    bus.add(moduleWith("A100"));
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    const std::string oldPath = bus.enumerate(0, 0).front().path;
    bus.sendErrorEvent(0, -9);
    bus.unplug(0);
    TavrikMessage m;
    EXPECT_EQ(read(dev, m), -1);
    EXPECT_EQ(send(dev, test::request(CmdStatus)), -1);
    EXPECT_TRUE(bus.enumerate(0, 0).empty());

    bus.plug(0);
    ASSERT_EQ(bus.enumerate(0, 0).size(), 1u);
    EXPECT_NE(bus.enumerate(0, 0).front().path, oldPath);
    EXPECT_EQ(read(dev, m), -1) << "the old handle stays dead";
    EXPECT_EQ(bus.openPath(oldPath.c_str(), nullptr), nullptr);
    hid::hid_device* again = openFirst(0xF713);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(read(again, m, 0), 0) << "nothing left over from before";
}

TEST_F(BusTest, RestartIntoBootloaderKillsTheHandleAndComesBackUnderItsPid) {
    ModuleConfig config = moduleWith("A100");
    config.restartDelayMs = 60000;
    bus.add(config);
    bus.add(moduleWith("B200"));
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    TavrikMessage restart = test::request(CmdStatus);
    restart.bytes[5] = 1;
    EXPECT_EQ(send(dev, restart), 65);
    TavrikMessage m;
    EXPECT_EQ(read(dev, m), -1);
    EXPECT_EQ(send(dev, test::request(CmdStatus)), -1);
    const auto present = bus.enumerate(0, 0);
    ASSERT_EQ(present.size(), 1u) << "away until its restart delay has passed";
    EXPECT_EQ(present[0].serialNumber, L"B200");
}

TEST_F(BusTest, StartApplicationAnswerIsReadableBeforeTheHandleDies) {
    ModuleConfig config = moduleWith("A100");
    config.startInBootloader = true;
    bus.add(config);
    hid::hid_device* dev = openFirst(0xF65D);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> frame = encodeFrame({0x05});  // StartApplication
    unsigned char report[65] = {};
    std::copy(frame.begin(), frame.end(), report + 1);
    ASSERT_EQ(bus.write(dev, report, sizeof report), 65);
    unsigned char in[64];
    ASSERT_EQ(bus.readTimeout(dev, in, sizeof in, kGenerous), 64);
    EXPECT_EQ(in[0], 0x01);
    EXPECT_EQ(in[1], 0x05);
    EXPECT_EQ(bus.readTimeout(dev, in, sizeof in, kGenerous), -1);
    const auto devices = bus.enumerate(0, 0);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].productId, 0xF713);
    EXPECT_EQ(devices[0].serialNumber, L"A100");
}

// A module that vanishes at a bootloader command with a return time comes back in its
// bootloader, its flash as it was, as after a power cut and a replug; the requests it lets
// through first are answered as usual.
TEST_F(BusTest, VanishedModuleComesBackInItsBootloader) {
    ModuleConfig config = moduleWith("A100");
    config.startInBootloader = true;
    Fault vanish;
    vanish.kind = Fault::BootVanish;
    vanish.bootCommand = 0x01;  // BootInfo
    vanish.after = 1;
    vanish.backMs = 50;
    config.faults = {vanish};
    bus.add(config);
    hid::hid_device* dev = openFirst(0xF65D);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> frame = encodeFrame({0x01});
    unsigned char report[65] = {};
    std::copy(frame.begin(), frame.end(), report + 1);
    unsigned char in[64];
    ASSERT_EQ(bus.write(dev, report, sizeof report), 65);
    EXPECT_EQ(bus.readTimeout(dev, in, sizeof in, kGenerous), 64) << "the first is let through";
    ASSERT_EQ(bus.write(dev, report, sizeof report), 65);
    EXPECT_EQ(bus.readTimeout(dev, in, sizeof in, kGenerous), -1) << "gone without an answer";
    EXPECT_TRUE(bus.enumerate(0, 0).empty());

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto devices = bus.enumerate(0, 0);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].productId, 0xF65D);
    hid::hid_device* again = openFirst(0xF65D);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(bus.write(again, report, sizeof report), 65);
    EXPECT_EQ(bus.readTimeout(again, in, sizeof in, kGenerous), 64) << "answers again";
}

TEST_F(BusTest, ScriptedActionsFireFromTheReadPath) {
    ModuleConfig config = moduleWith("A100");
    ScriptedAction set;
    set.kind = ScriptedAction::SetPoint;
    set.afterMs = 30;
    set.type = 0;
    set.index = 1;
    set.value = 1;
    ScriptedAction unplug;
    unplug.kind = ScriptedAction::Unplug;
    unplug.afterMs = 60;
    config.script = {set, unplug};
    bus.add(config);
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    send(dev, test::request(CmdStatus, 1));
    TavrikMessage m;
    ASSERT_EQ(read(dev, m), 64);
    EXPECT_EQ(m.bytes[1], CmdStatus);
    ASSERT_EQ(read(dev, m), 64);
    EXPECT_EQ(m.bytes[1], CmdStateEventBasic);
    EXPECT_EQ(m.bytes[35], 0x0D);
    EXPECT_EQ(read(dev, m), -1);
    EXPECT_TRUE(bus.enumerate(0, 0).empty());
}

TEST_F(BusTest, WaitForSeesWhatTheHostWrote) {
    bus.add(moduleWith("A100"));
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    std::thread host([&] {
        TavrikMessage m = test::request(CmdStateBasic, 1);
        m.bytes[35] = 0x0B;  // output 0 set (wire bit 2 = 0), output 1 clear
        send(dev, m);
    });
    EXPECT_TRUE(bus.waitFor(0, kGenerous,
                            [](const VirtualModule& module) { return module.point(1, 0) == 1; }));
    host.join();
    EXPECT_EQ(bus.withModule(0, [](VirtualModule& module) { return module.point(1, 1); }), 0);
}

// Host reads on one thread while a test injects from another; run under TSan too.
TEST_F(BusTest, ReadsAndInjectionsOnTwoThreads) {
    bus.add(moduleWith("A100"));
    hid::hid_device* dev = openFirst(0xF713);
    ASSERT_NE(dev, nullptr);
    constexpr int kEvents = 200;
    int events = 0;
    std::thread host([&] {
        TavrikMessage m;
        while (events < kEvents) {
            const int n = bus.readTimeout(dev, m.bytes, kMessageSize, 10);
            if (n < 0) {
                return;
            }
            if (n == 64 && m.bytes[1] == CmdStateEventBasic && ++events % 20 == 0) {
                send(dev, test::request(CmdStatus, 1));
            }
        }
    });
    for (int i = 0; i < kEvents; ++i) {
        bus.setPoint(0, 0, 0, i % 2, true);
        bus.withModule(0, [](VirtualModule& module) { return module.requests().size(); });
    }
    host.join();
    EXPECT_EQ(events, kEvents);
}

}  // namespace
}  // namespace tavrik::virt
