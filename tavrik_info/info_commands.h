// The device commands of tavrik_info: listing, reading a point, setting an output and
// listening for events. Each builds the device list afresh and returns 0 or -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tavrik/tavrik.h"
#include "tools_common.h"

namespace tavrik {

// Opens and starts the module, then gives its API thread 100 ms for its first exchange.
// Failures are reported on standard error; returns the failing TavrikResult or 0.
int openDevice(const std::string& serial, Device& device);

// The device number check (0 <= dev < count, else "Device <dev> not available" on standard
// error), then openDevice on the module at that position of the list. True when it runs.
bool openListedDevice(const std::vector<std::string>& serials, int32_t dev, Device& device);

void listDeviceInfo();
int readIoState(int32_t dev, int32_t iopoint, int32_t type);
int setOutputState(int32_t dev, int32_t output, int32_t value, int32_t type);
int listenForEvents(int32_t dev);

// Writes one line per event to standard output.
void printEvent(const Event& event);

// "class<n>" and the names of the flags set in a PoE port status word, without a newline.
std::ostream& printPoeStatus(std::ostream& stream, int32_t status);

// UTC calendar time of seconds since 1970 in the 24-character asctime layout
// (Www Mmm DD hh:mm:ss YYYY, day zero-padded), without a newline.
std::string watchdogTimeText(int64_t seconds);

}  // namespace tavrik
