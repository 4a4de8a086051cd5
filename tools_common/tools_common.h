// What tavrik_info and tavrik_program print alike: the version line, the separator under a
// help title, and the error lines.
#pragma once

#include <string>

namespace tavrik {

constexpr char kSeparator[] = "------------------------------------------\n";

// "version: " and the library's version, on standard output.
void printVersion();

// prefix and the result's message, on standard error: "Error setting output: " and
// "Communication timeout".
void printResultError(const std::string& prefix, int result);

// An error line of the command line, on standard error.
void printUsageError(const std::string& message);

}  // namespace tavrik
