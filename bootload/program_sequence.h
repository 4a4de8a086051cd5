// The firmware upgrade of one module: file check, restart into the bootloader, search,
// erase, program, verify and start, with one line of output per step.
#pragma once

#include <ostream>
#include <string>

#include "bootloader_device.h"

namespace tavrik {

constexpr int kSearchAttempts = 30;
constexpr int kSearchTimeoutMs = 300;
constexpr int kFinalOpenTimeoutMs = 2000;
constexpr int kOpenPauseMs = 100;

// Asks the module to restart into its bootloader, then tries to open it and get its boot
// information until timeoutMs have passed. Returns 0 once it answered, else the last result.
int awaitBootloader(BootloaderDevice& device, const std::string& serial, int timeoutMs);

// Whether the file is Intel HEX with something to program in the application's flash.
bool isProgrammableFile(const std::string& fileName);

// Returns 0 or the negative result of the first failing step. The tool's lines go to out,
// the percentage after each programmed frame to progress.
int programDevice(const std::string& serial, const std::string& fileName, std::ostream& out,
                  const BootloaderDevice::ProgressCallback& progress);

}  // namespace tavrik
