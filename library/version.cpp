#include "tavrik/tavrik.h"

namespace tavrik {

std::string libraryVersion() {
    return TAVRIK_VERSION;  // this library's own, whatever a program was built with
}

}  // namespace tavrik
