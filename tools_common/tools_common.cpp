#include "tools_common.h"

#include <iostream>

#include "tavrik/tavrik.h"

namespace tavrik {

void printVersion() {
    std::cout << "version: " << TAVRIK_VERSION << std::endl;
}

void printResultError(const std::string& prefix, int result) {
    std::cerr << prefix << resultMessage(result) << std::endl;
}

void printUsageError(const std::string& message) {
    std::cerr << message << std::endl;
}

}  // namespace tavrik
