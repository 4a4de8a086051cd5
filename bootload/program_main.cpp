#include "program_main.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "program_sequence.h"
#include "tavrik_connection.h"

namespace tavrik {

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 2;
constexpr int kVersionPatch = 3;
constexpr int kCommandLineError = -1;

void printHelp() {
    std::cout << "Tavrik device firmware upgrade\n"
                 "------------------------------------------\n"
                 "-h : print help\n"
                 "-v : print application version\n"
                 "-l : list available devices\n"
                 "-p : program device <hex file> <serial num>\n"
              << std::endl;
}

void printVersion() {
    std::cout << "version: " << kVersionMajor << "." << kVersionMinor << "." << kVersionPatch
              << std::endl;
}

// Modules in either mode, each once, in physical order.
void listDevices() {
    std::vector<DeviceId> ids = applicationDeviceIds;
    ids.insert(ids.end(), bootloaderDeviceIds.begin(), bootloaderDeviceIds.end());
    std::vector<std::string> serials;
    enumerateSerials(ids, serials);
    if (serials.empty()) {
        std::cout << "No Tavrik devices found or all devices in use" << std::endl;
        return;
    }
    for (const std::string& serial : serials) {
        std::cout << serial << "\n";
    }
    std::cout << std::flush;
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
    std::cerr << message << std::endl;
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
    return programDevice(serial, fileName);
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
    std::cerr << "Invalid command line arguments" << std::endl;
    return kCommandLineError;
}

}  // namespace tavrik
