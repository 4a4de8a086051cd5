#include "program_main.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "module_text.h"
#include "tavrik/tavrik.h"
#include "tools_common.h"

namespace tavrik {

namespace {

constexpr int kCommandLineError = -1;

void printHelp() {
    std::cout << "Tavrik device firmware upgrade\n"
              << kSeparator
              << "-h : print help\n"
                 "-v : print application version\n"
                 "-l : list available devices\n"
                 "-p : program device <hex file> <serial num>\n"
              << std::endl;
}

// Modules in either mode, each once, in physical order.
void listDevices() {
    const std::vector<std::string> attached = serials(Mode::Either);
    if (attached.empty()) {
        std::cout << "No Tavrik devices found or all devices in use" << std::endl;
        return;
    }
    for (const std::string& serial : attached) {
        std::cout << terminalText(serial) << "\n";
    }
    std::cout << std::flush;
}

// "\rprogress N%" without a line end, so that a terminal shows one line updated in place.
void printProgress(int percent) {
    std::cout << "\rprogress " << percent << "%" << std::flush;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The first white-space separated word of an argument; empty when it holds none.
std::string firstWord(const std::string& text) {
    const auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    const auto end = std::find_if(begin, text.end(), isSpace);
    return std::string(begin, end);
}

int usageError(const char* message) {
    printUsageError(message);
    printHelp();
    return kCommandLineError;
}

int programFromArguments(const std::vector<std::string>& args,
                         std::vector<std::string>::const_iterator option) {
    const auto values = option + 1;
    if (args.end() - values < 2) {
        return usageError("\nfilename and device index must be supplied with -p option\n");
    }
    const std::string fileName = firstWord(values[0]);
    if (fileName.empty()) {
        return usageError("\nInvalid file specified for -p option\n");
    }
    const std::string serial = firstWord(values[1]);
    if (serial.empty()) {
        return usageError("\nInvalid serial number specified for -p option\n");
    }
    return programFirmware(fileName, serial, printProgress, &std::cout);
}

}  // namespace

int tavrikProgramMain(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    auto has = [&args](const char* option) {
        return std::find(args.begin(), args.end(), option) != args.end();
    };
    if (args.empty() || has("-h")) {
        printHelp();
        return 0;
    }
    if (has("-v")) {
        printVersion();
        return 0;
    }
    if (has("-l")) {
        listDevices();
        return 0;
    }
    const auto program = std::find(args.begin(), args.end(), "-p");
    if (program != args.end()) {
        return programFromArguments(args, program);
    }
    printUsageError("Invalid command line arguments");
    return kCommandLineError;
}

}  // namespace tavrik
