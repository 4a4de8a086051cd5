#include <gtest/gtest.h>

#include "program_sequence.h"
#include "scripted_backend.h"

namespace tavrik {
namespace {

TEST(AwaitBootloader, RestartsTheApplicationOnceAndOpensTheBootloader) {
    test::ScriptedBackend bus;
    bus.productId = 0xF713;
    bus.bootloaderProductId = 0xF2F0;
    bus.enumerationsUntilBack = 7;  // away for a few open attempts
    BootloaderDevice device;
    ASSERT_EQ(awaitBootloader(device, "B100", kFinalOpenTimeoutMs), BootOk);
    EXPECT_TRUE(device.isOpen());
    EXPECT_EQ(device.serial(), "B100");
    ASSERT_EQ(bus.requests.size(), 1u);
    EXPECT_EQ(bus.requests[0], test::Bytes{0x01});  // BootInfo
    EXPECT_EQ(bus.writes.size(), 2u);               // the restart request and BootInfo
}

TEST(AwaitBootloader, AbsentModuleGivesTheOpenFailureAfterSeveralAttempts) {
    test::ScriptedBackend bus;
    bus.serial = L"OTHER";
    BootloaderDevice device;
    EXPECT_EQ(awaitBootloader(device, "B100", kSearchTimeoutMs), BootDeviceNotFound);
    EXPECT_FALSE(device.isOpen());
    // At least three attempts of 100 ms fit into 300 ms, each over the three bootloader IDs,
    // after the restart request's search over the three application IDs.
    EXPECT_GE(bus.enumerateCount, 3 + 3 * 3);
}

TEST(AwaitBootloader, SilentBootloaderIsClosedAndItsResultReturned) {
    test::ScriptedBackend bus;
    bus.answerBootInfo = false;
    BootloaderDevice device;
    EXPECT_EQ(awaitBootloader(device, "B100", kSearchTimeoutMs), BootReadFailed);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(bus.isOpen());
    EXPECT_GE(bus.openCount, 3);
}

}  // namespace
}  // namespace tavrik
