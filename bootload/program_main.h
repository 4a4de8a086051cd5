// Command line of tavrik_program: help, version, device list and programming.
#pragma once

namespace tavrik {

// Returns the exit status: 0, -1 for a command-line error, or the programming result.
int tavrikProgramMain(int argc, char** argv);

}  // namespace tavrik
