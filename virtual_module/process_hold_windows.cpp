// No service runs on Windows, so no other process ever holds a virtual module there.
#include "process_hold.h"

namespace tavrik::virt {

int takeProcessHold(const std::string&, size_t) {
    return 0;
}

void releaseProcessHold(int) {}

}  // namespace tavrik::virt
