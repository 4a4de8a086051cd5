#include "info_main.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "argument_parser.h"
#include "info_commands.h"
#include "tavrik/tavrik.h"

namespace tavrik {

namespace {

bool countFits(size_t count, size_t least, size_t most) {
    return count >= least && count <= most;
}

int invalidCount(const std::string& option) {
    printUsageError("Invalid number of arguments for " + option + " option");
    return -1;
}

}  // namespace

void printHelp() {
    std::cout << "Tavrik device info\n"
              << kSeparator << "-h : print help\n"
              << "-v : print application version\n"
              << "-l : list available device information\n"
              << "-e : listen for events on device <dev>\n"
              << "-o : set output state <dev> <output> <value> [type]\n"
              << "-i : read io state <dev> <iopoint> [type]\n"
              << "\n\t[type] is optional and can be one of:\n";
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        std::cout << "\t  " << type << " = " << ioTypeName(type) << "\n";
    }
    std::cout << "\n\texample: tavrik_info -o 0 0 1\n" << std::endl;
}

int tavrikInfoMain(int argc, char** argv) {
    const std::string option = argc > 1 ? argv[1] : "";

    // Every number is read before the option is looked at, so a bad one fails any option.
    std::vector<int32_t> numbers;
    for (int i = 2; i < argc; ++i) {
        const std::optional<int32_t> number = parseNumberArgument(argv[i]);
        if (!number) {
            printUsageError("Invalid argument for " + option + " option");
            return -1;
        }
        numbers.push_back(*number);
    }

    if (option == "-h" || option.empty()) {
        printHelp();
        return 0;
    }
    if (option == "-v") {
        printVersion();
        return 0;
    }
    if (option == "-l") {
        listDeviceInfo();
        return 0;
    }
    if (option == "-e") {
        if (!countFits(numbers.size(), 1, 1)) {
            return invalidCount(option);
        }
        return listenForEvents(numbers[0]);
    }
    if (option == "-o") {
        if (!countFits(numbers.size(), 3, 4)) {
            return invalidCount(option);
        }
        if (numbers.size() == 3) {
            numbers.push_back(Outputs);
        }
        return setOutputState(numbers[0], numbers[1], numbers[2], numbers[3]);
    }
    if (option == "-i") {
        if (!countFits(numbers.size(), 2, 3)) {
            return invalidCount(option);
        }
        if (numbers.size() == 2) {
            numbers.push_back(Inputs);
        }
        return readIoState(numbers[0], numbers[1], numbers[2]);
    }
    printUsageError("Invalid command line arguments");
    return -1;
}

}  // namespace tavrik
