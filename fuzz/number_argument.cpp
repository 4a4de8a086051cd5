// Numbers on the tavrik_info command line: any text, and whenever a number is returned it is
// the one C's strtoll reads in base 0 from the same text.
#include <cerrno>
#include <cstdlib>
#include <string>

#include "argument_parser.h"
#include "fuzz_check.h"

using namespace tavrik;
using tavrik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<int32_t> number = parseNumberArgument(text);
    if (!number)
        return 0;
    // A NUL is no digit, so the stream stops at it as strtoll does.
    char* end = nullptr;
    errno = 0;
    const long long expected = std::strtoll(text.c_str(), &end, 0);
    if (end != text.c_str() && errno == 0)
        require(expected == *number, "the number agrees with strtoll in base 0");
    return 0;
}
