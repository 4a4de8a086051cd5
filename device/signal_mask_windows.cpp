#include "signal_mask.h"

namespace tavrik {

// Windows has no signals that interrupt a HID read: console events arrive on a thread of
// their own.
struct SignalsBlocked::Saved {};

SignalsBlocked::SignalsBlocked() = default;
SignalsBlocked::~SignalsBlocked() = default;

}  // namespace tavrik
