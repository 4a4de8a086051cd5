// The firmware upgrade of one module: file check, restart into the bootloader, search,
// erase, program, verify and start, with one line of output per step.
#pragma once

#include <string>

#include "bootloader_device.h"

namespace tavrik {

constexpr int kSearchAttempts = 30;
constexpr int kSearchTimeoutMs = 300;
constexpr int kFinalOpenTimeoutMs = 2000;
constexpr int kOpenPauseMs = 100;

// Writes "\rprogress N%" and flushes, so a terminal shows one line updated in place.
void printProgress(int percent);

// Asks the module to restart into its bootloader, then tries to open it and get its boot
// information until timeoutMs have passed. Returns 0 once it answered, else the last result.
int awaitBootloader(BootloaderDevice& device, const std::string& serial, int timeoutMs);

// Returns 0 or the negative result of the first failing step.
int programDevice(const std::string& serial, const std::string& fileName);

}  // namespace tavrik
