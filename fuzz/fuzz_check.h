// A broken property found by a fuzz target aborts, so libFuzzer records the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tavrik::fuzz {

inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

}  // namespace tavrik::fuzz
