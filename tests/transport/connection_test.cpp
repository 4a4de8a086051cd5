#include <gtest/gtest.h>

#include <vector>

#include "tavrik_connection.h"
#include "tavrik_result.h"
#include "virtual_bus_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;

class ConnectionTest : public test::VirtualBusTest {
  protected:
    void openModule() {
        bus.add(basicModule("A1"));
        ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    }

    void inject(virt::Fault::Kind kind, int count = 1, int status = 0) {
        virt::Fault fault;
        fault.kind = kind;
        fault.count = count;
        fault.status = status;
        bus.injectFault(0, fault);
    }

    // One status request, under the retry rule or as a single attempt; the reply is kept.
    int statusExchange(bool retry) {
        TavrikMessage request = statusRequest(ModeOpening, 12345);
        return retry ? requestWithRetry(connection, request, reply)
                     : connection.request(request, reply);
    }

    TavrikConnection connection;
    TavrikMessage reply;
};

TavrikMessage stateEvent(uint8_t marker) {
    TavrikMessage event;
    event.bytes[msg::Command] = CmdStateEventBasic;
    event.bytes[msg::BasicImage] = marker;
    sealMessage(event);
    return event;
}

TEST_F(ConnectionTest, UnsolicitedMessagesBeforeTheReplyReachTheHandlerInOrder) {
    openModule();
    std::vector<uint8_t> seen;
    connection.setMessageHandler([&seen](TavrikMessage& m) {
        seen.push_back(m.bytes[msg::BasicImage]);
        EXPECT_EQ(m.command(), CmdStateEventBasic);
    });
    bus.sendRaw(0, stateEvent(0x11));
    bus.sendRaw(0, stateEvent(0x22));

    EXPECT_EQ(statusExchange(false), Ok);
    EXPECT_EQ(reply.command(), CmdStatus);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x11, 0x22}));
}

TEST_F(ConnectionTest, ModuleStatusIsReturnedAfterFiveAttemptsInAll) {
    openModule();
    inject(virt::Fault::Status, 100, static_cast<int8_t>(0xF8));

    EXPECT_EQ(statusExchange(true), CommandInvalid);
    EXPECT_EQ(requestCount(0, CmdStatus), 5u);
}

TEST_F(ConnectionTest, RetryStopsAtTheFirstSuccess) {
    openModule();
    inject(virt::Fault::Status, 2, IoPointOutOfRange);

    EXPECT_EQ(statusExchange(true), Ok);
    EXPECT_EQ(requestCount(0, CmdStatus), 3u);
}

TEST_F(ConnectionTest, BadPreambleFailsWithoutTestingTheCheckByte) {
    openModule();
    TavrikMessage corrupt = stateEvent(0);
    corrupt.bytes[msg::Preamble] = 0xAB;
    corrupt.bytes[msg::Check] ^= 0xFF;  // wrong as well: the preamble must be tested first
    bus.sendRaw(0, corrupt);

    EXPECT_EQ(statusExchange(false), MessageMissingPreamble);
}

TEST_F(ConnectionTest, BadCheckByteFailsTheRequestAndTheEventRead) {
    openModule();
    inject(virt::Fault::BadCheck);
    EXPECT_EQ(statusExchange(false), MessageCrcInvalid);

    TavrikMessage corrupt = stateEvent(0);
    corrupt.bytes[msg::Check] ^= 0xFF;
    bus.sendRaw(0, corrupt);
    EXPECT_EQ(connection.readEvents(10), MessageCrcInvalid);
}

TEST_F(ConnectionTest, LateReplyIsTakenByTheNextRequestOfTheSameCommand) {
    openModule();
    inject(virt::Fault::LateReply);
    int handled = 0;
    connection.setMessageHandler([&handled](TavrikMessage&) { ++handled; });

    EXPECT_EQ(statusExchange(false), CommunicationTimeout);
    EXPECT_EQ(statusExchange(false), Ok);
    EXPECT_EQ(reply.command(), CmdStatus);
    EXPECT_EQ(handled, 0);
    EXPECT_EQ(requestCount(0, CmdStatus), 2u);
}

TEST_F(ConnectionTest, LateReplyOfAnotherCommandGoesToTheHandler) {
    openModule();
    inject(virt::Fault::LateReply);
    std::vector<uint8_t> handled;
    connection.setMessageHandler([&handled](TavrikMessage& m) { handled.push_back(m.command()); });

    EXPECT_EQ(statusExchange(false), CommunicationTimeout);
    TavrikMessage config = ioConfigRequest(0);
    EXPECT_EQ(connection.request(config, reply), Ok);
    EXPECT_EQ(reply.command(), CmdReadIoConfig);
    EXPECT_EQ(handled, std::vector<uint8_t>{CmdStatus});
}

TEST_F(ConnectionTest, NoReplyIsACommunicationTimeout) {
    openModule();
    inject(virt::Fault::NoReply, 5);
    EXPECT_EQ(statusExchange(true), CommunicationTimeout);
}

TEST_F(ConnectionTest, UnpluggedModuleTimesOutRequestsAndEndsEventReadsQuietly) {
    openModule();
    bus.unplug(0);
    EXPECT_EQ(connection.readEvents(10), Ok);
    EXPECT_EQ(statusExchange(false), CommunicationTimeout);
}

TEST_F(ConnectionTest, ReadEventsWithoutHandlerDiscardsUntilQuiet) {
    openModule();
    bus.sendRaw(0, stateEvent(1));
    bus.sendRaw(0, stateEvent(2));
    EXPECT_EQ(connection.readEvents(10), Ok);
    // Both were consumed: a handler installed now sees nothing more.
    int handled = 0;
    connection.setMessageHandler([&handled](TavrikMessage&) { ++handled; });
    EXPECT_EQ(connection.readEvents(10), Ok);
    EXPECT_EQ(handled, 0);
}

// A module that never stops sending: every message handed on makes it send the next one.
class EndlessStreamTest : public ConnectionTest {
  protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        openModule();
        connection.setMessageHandler([this](TavrikMessage& m) {
            seen.push_back(m.bytes[msg::BasicImage]);
            bus.sendRaw(0, stateEvent(static_cast<uint8_t>(seen.size())));
        });
        bus.sendRaw(0, stateEvent(0));
    }

    std::vector<uint8_t> seen;
};

TEST_F(EndlessStreamTest, EventReadEndsAndHandsOnEveryMessageInOrder) {
    EXPECT_EQ(connection.readEvents(10), Ok);
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], static_cast<uint8_t>(i));
    }
}

TEST_F(EndlessStreamTest, RequestWithoutReplyTimesOut) {
    inject(virt::Fault::NoReply);
    EXPECT_EQ(statusExchange(false), CommunicationTimeout);
    EXPECT_FALSE(seen.empty());
}

TEST_F(ConnectionTest, ClosedConnectionRefusesEverything) {
    EXPECT_EQ(statusExchange(false), DeviceNotOpen);
    EXPECT_EQ(connection.readEvents(10), DeviceNotOpen);
    EXPECT_EQ(connection.productString(), "");
    EXPECT_FALSE(connection.isOpen());
}

TEST_F(ConnectionTest, ProductStringIsNarrowedFromTheOpenModule) {
    virt::ModuleConfig module = basicModule("A1");
    module.productString = "Tavrik 8";
    bus.add(module);
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    EXPECT_EQ(connection.productString(), "Tavrik 8");
    connection.close();
    EXPECT_EQ(connection.productString(), "");
}

TEST_F(ConnectionTest, OpenAnyStopsAtTheFirstBusyModule) {
    virt::ModuleConfig busy = basicModule("S1");
    busy.busy = true;
    bus.add(busy);
    virt::ModuleConfig free = basicModule("S1");
    free.applicationPid = 0xF2F1;
    bus.add(free);
    EXPECT_EQ(connection.openAny(applicationDeviceIds, "S1"), DeviceBusy);
    EXPECT_FALSE(connection.isOpen());
}

TEST_F(ConnectionTest, OpenAnyTriesTheIdsInTableOrder) {
    virt::ModuleConfig module = basicModule("S1");
    module.applicationPid = 0xF306;
    bus.add(module);
    EXPECT_EQ(connection.open(applicationDeviceIds[0], "S1"), UnableToOpenDevice);
    EXPECT_EQ(connection.openAny(applicationDeviceIds, "S1"), Ok);
    EXPECT_EQ(connection.openAny(applicationDeviceIds, "S2"), UnableToOpenDevice);
}

TEST_F(ConnectionTest, EmptySerialMatchesOnlyAModuleWithoutSerialString) {
    virt::ModuleConfig named = basicModule("S1");
    named.productString = "named";
    bus.add(named);
    EXPECT_EQ(connection.open(applicationDeviceIds[0], ""), UnableToOpenDevice);

    virt::ModuleConfig anonymous = basicModule("");
    anonymous.usbSerial.reset();
    anonymous.productString = "anonymous";
    bus.add(anonymous);
    ASSERT_EQ(connection.open(applicationDeviceIds[0], ""), Ok);
    EXPECT_EQ(connection.productString(), "anonymous");
}

// A module whose serial-number string cannot be read, enumerated first, must not be taken for
// the one asked for: opening it would send that module the caller's writes.
TEST_F(ConnectionTest, ModuleWithoutSerialStringIsNeverOpenedForAnotherSerial) {
    virt::ModuleConfig anonymous = basicModule("");
    anonymous.usbSerial.reset();
    anonymous.productString = "anonymous";
    bus.add(anonymous);
    EXPECT_EQ(connection.openAny(applicationDeviceIds, "REAL-1"), UnableToOpenDevice);
    EXPECT_FALSE(connection.isOpen());

    virt::ModuleConfig real = basicModule("REAL-1");
    real.productString = "real";
    bus.add(real);
    ASSERT_EQ(connection.openAny(applicationDeviceIds, "REAL-1"), Ok);
    EXPECT_EQ(connection.productString(), "real");
}

TEST_F(ConnectionTest, SerialIsWidenedByteByByte) {
    const std::string serial = "\xC4\xD6-7";  // bytes above 0x7F become code units 0xC4, 0xD6
    bus.add(basicModule(serial));
    EXPECT_EQ(connection.open(applicationDeviceIds[0], serial), Ok);
}

}  // namespace
}  // namespace tavrik
