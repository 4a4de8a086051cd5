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
    TavrikMessage statusRequestNow() { return statusRequest(0, 12345); }

    TavrikConnection connection;
};

TavrikMessage stateEvent(uint8_t marker) {
    TavrikMessage event;
    event.bytes[msg::Command] = CmdStateEventBasic;
    event.bytes[msg::BasicImage] = marker;
    sealMessage(event);
    return event;
}

TEST_F(ConnectionTest, UnsolicitedMessagesBeforeTheReplyReachTheHandlerInOrder) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    std::vector<uint8_t> seen;
    connection.setMessageHandler([&seen](TavrikMessage& m) {
        seen.push_back(m.bytes[msg::BasicImage]);
        EXPECT_EQ(m.command(), CmdStateEventBasic);
    });
    bus.sendRaw(0, stateEvent(0x11));
    bus.sendRaw(0, stateEvent(0x22));

    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(request, reply), Ok);
    EXPECT_EQ(reply.command(), CmdStatus);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x11, 0x22}));
}

TEST_F(ConnectionTest, ModuleStatusIsReturnedAfterFiveAttemptsInAll) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::Status;
    fault.status = static_cast<int8_t>(0xF8);
    fault.count = 100;
    bus.injectFault(0, fault);

    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(requestWithRetry(connection, request, reply), CommandInvalid);
    EXPECT_EQ(requestCount(0, CmdStatus), 5u);
}

TEST_F(ConnectionTest, RetryStopsAtTheFirstSuccess) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::Status;
    fault.status = IoPointOutOfRange;
    fault.count = 2;
    bus.injectFault(0, fault);

    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(requestWithRetry(connection, request, reply), Ok);
    EXPECT_EQ(requestCount(0, CmdStatus), 3u);
}

TEST_F(ConnectionTest, BadPreambleFailsWithoutTestingTheCheckByte) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    TavrikMessage corrupt = stateEvent(0);
    corrupt.bytes[msg::Preamble] = 0xAB;
    corrupt.bytes[msg::Check] ^= 0xFF;  // wrong as well: the preamble must be tested first
    bus.sendRaw(0, corrupt);

    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(request, reply), MessageMissingPreamble);
}

TEST_F(ConnectionTest, BadCheckByteFailsTheRequestAndTheEventRead) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::BadCheck;
    bus.injectFault(0, fault);
    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(request, reply), MessageCrcInvalid);

    TavrikMessage corrupt = stateEvent(0);
    corrupt.bytes[msg::Check] ^= 0xFF;
    bus.sendRaw(0, corrupt);
    EXPECT_EQ(connection.readEvents(10), MessageCrcInvalid);
}

TEST_F(ConnectionTest, LateReplyIsTakenByTheNextRequestOfTheSameCommand) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::LateReply;
    bus.injectFault(0, fault);
    int handled = 0;
    connection.setMessageHandler([&handled](TavrikMessage&) { ++handled; });

    TavrikMessage first = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(first, reply), CommunicationTimeout);
    TavrikMessage second = statusRequestNow();
    EXPECT_EQ(connection.request(second, reply), Ok);
    EXPECT_EQ(reply.command(), CmdStatus);
    EXPECT_EQ(handled, 0);
    EXPECT_EQ(requestCount(0, CmdStatus), 2u);
}

TEST_F(ConnectionTest, LateReplyOfAnotherCommandGoesToTheHandler) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::LateReply;
    bus.injectFault(0, fault);
    std::vector<uint8_t> handled;
    connection.setMessageHandler([&handled](TavrikMessage& m) { handled.push_back(m.command()); });

    TavrikMessage status = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(status, reply), CommunicationTimeout);
    TavrikMessage config = ioConfigRequest(0);
    EXPECT_EQ(connection.request(config, reply), Ok);
    EXPECT_EQ(reply.command(), CmdReadIoConfig);
    EXPECT_EQ(handled, std::vector<uint8_t>{CmdStatus});
}

TEST_F(ConnectionTest, NoReplyIsACommunicationTimeout) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    virt::Fault fault;
    fault.kind = virt::Fault::NoReply;
    fault.count = 5;
    bus.injectFault(0, fault);
    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(requestWithRetry(connection, request, reply), CommunicationTimeout);
}

TEST_F(ConnectionTest, UnpluggedModuleTimesOutRequestsAndEndsEventReadsQuietly) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    bus.unplug(0);
    EXPECT_EQ(connection.readEvents(10), Ok);
    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(request, reply), CommunicationTimeout);
}

TEST_F(ConnectionTest, ReadEventsWithoutHandlerDiscardsUntilQuiet) {
    bus.add(basicModule("A1"));
    ASSERT_EQ(connection.open(applicationDeviceIds[0], "A1"), Ok);
    bus.sendRaw(0, stateEvent(1));
    bus.sendRaw(0, stateEvent(2));
    EXPECT_EQ(connection.readEvents(10), Ok);
    // Both were consumed: a handler installed now sees nothing more.
    int handled = 0;
    connection.setMessageHandler([&handled](TavrikMessage&) { ++handled; });
    EXPECT_EQ(connection.readEvents(10), Ok);
    EXPECT_EQ(handled, 0);
}

TEST_F(ConnectionTest, ClosedConnectionRefusesEverything) {
    TavrikMessage request = statusRequestNow();
    TavrikMessage reply;
    EXPECT_EQ(connection.request(request, reply), DeviceNotOpen);
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

TEST_F(ConnectionTest, SerialIsWidenedByteByByte) {
    const std::string serial = "\xC4\xD6-7";  // bytes above 0x7F become code units 0xC4, 0xD6
    bus.add(basicModule(serial));
    EXPECT_EQ(connection.open(applicationDeviceIds[0], serial), Ok);
}

}  // namespace
}  // namespace tavrik
