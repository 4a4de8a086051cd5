// No descriptor that select() takes stands for an event here: readers wait in readEvent.
#include "ready_signal.h"

namespace tavrik {

ReadySignal::ReadySignal() = default;
ReadySignal::~ReadySignal() = default;
void ReadySignal::raise() {}
void ReadySignal::clear() {}

}  // namespace tavrik
