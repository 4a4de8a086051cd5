// Names that the tools, the exporter and the Python package share, defined here once.
#include "tavrik/tavrik.h"

namespace tavrik {

std::vector<PoeStatusFlag> poeStatusFlags() {
    // tavrik_info's word order, which is not the bit order.
    return {
        {0x008, "enabled"},   {0x020, "present"},      {0x010, "reset"},
        {0x080, "faulted"},   {0x040, "powered"},      {0x100, "overcurrent"},
        {0x200, "overpower"}, {0x400, "undervoltage"}, {0x800, "overtemp"},
    };
}

std::string eventKindName(int32_t kind) {
    switch (kind) {
        case Event::Io:
            return "io";
        case Event::Error:
            return "error";
        default:
            return "unknown";
    }
}

}  // namespace tavrik
