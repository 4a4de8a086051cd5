// Entry point of tavrik_info: reads the option and its numbers and runs one command.
#pragma once

namespace tavrik {

// Returns the exit status: 0, or -1 for a bad command line or a failed command.
int tavrikInfoMain(int argc, char** argv);

void printHelp();

}  // namespace tavrik
