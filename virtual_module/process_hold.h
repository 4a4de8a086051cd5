// Holding a virtual module open across processes, as the kernel's lock holds a real one: the
// programs that share one scenario see a module that another of them has open as busy.
#pragma once

#include <cstddef>
#include <string>

namespace tavrik::virt {

// Takes the hold of module `index` in directory `dir`: a descriptor to give back to
// releaseProcessHold, or -1 when another process holds it.
int takeProcessHold(const std::string& dir, size_t index);
void releaseProcessHold(int hold);

}  // namespace tavrik::virt
