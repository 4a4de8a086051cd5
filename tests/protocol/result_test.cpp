#include <gtest/gtest.h>

#include "tavrik_result.h"

namespace tavrik {
namespace {

struct MessageCase {
    int code;
    const char* text;
};

const MessageCase kMessages[] = {
    {0, "No Error"},
    {-1, "Device is busy"},
    {-2, "Message size invalid"},
    {-3, "Message missing preamble"},
    {-4, "Message parameter count not as expected"},
    {-5, "Message parameter type not as expected"},
    {-6, "Message CRC invalid"},
    {-7, "IO point number outside range"},
    {-8, "Specified command invalid"},
    {-9, "Timeout on i2c bus"},
    {-10, "Detected IO expanders does not match expected"},
    {-11, "invalid parameter value"},
    {-12, "USB protocol error"},
    {-13, "Flash memory read/write error"},
    {-14, "Watchdog reset occured"},
    {-100, "API thread has stopped running"},
    {-101, "Unable to open device"},
    {-102, "The device is not open for communication"},
    {-103, "Communication timeout"},
    {-104, "Read/Write config file failed"},
    // Gaps and values on either side of the table.
    {-15, "Unknown Error"},
    {-99, "Unknown Error"},
    {-105, "Unknown Error"},
    {1, "Unknown Error"},
    {INT32_MIN, "Unknown Error"},
};

TEST(ResultTest, MessageOfEveryCode) {
    for (const MessageCase& c : kMessages)
        EXPECT_EQ(resultMessage(c.code), c.text) << "code " << c.code;
}

struct TypeCase {
    uint32_t type;
    const char* name;
    uint32_t descriptor;
    bool writable;
};

const TypeCase kTypes[] = {
    {0, "inputs", 0x000, false},
    {1, "outputs", 0x401, true},
    {2, "buttons", 0x002, false},
    {3, "psalarms", 0x003, false},
    {4, "raidleds", 0x404, true},
    {5, "watchdog", 0x605, true},
    {6, "poe_enable", 0x406, true},
    {7, "poe_reset", 0x1407, true},
    {8, "poe_status", 0x208, false},
    {9, "poe_voltage", 0xA09, false},
    {10, "poe_current", 0xA0A, false},
    {11, "poe_temperature", 0xA0B, false},
    {12, "poe_maxpower", 0x60C, true},
    {13, "Unknown IO Type", 0, false},
    {64, "Unknown IO Type", 0, false},
    {65, "Unknown IO Type", 0x441, true},  // the relay code is a code, not a type
    {66, "Unknown IO Type", 0, false},
    {0xFFFFFFFFu, "Unknown IO Type", 0, false},
};

TEST(ResultTest, NameDescriptorAndWritabilityOfEveryType) {
    for (const TypeCase& c : kTypes) {
        EXPECT_EQ(ioTypeName(c.type), c.name) << "type " << c.type;
        EXPECT_EQ(pointDescriptor(c.type), c.descriptor) << "type " << c.type;
        EXPECT_EQ(isWritableType(c.type), c.writable) << "type " << c.type;
    }
}

}  // namespace
}  // namespace tavrik
