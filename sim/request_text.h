// The lines tavrik_sim -v prints about what a module received and how it answered.
// Pure text over the messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tavrik_message.h"

namespace tavrik::sim {

// A request in the application protocol, with its reply or none.
std::string appRequestText(const TavrikMessage& request, const TavrikMessage* reply);
// A message the module sent unasked (an event).
std::string appEventText(const TavrikMessage& message);
// A bootloader request payload (command byte first), with the reply payload or none.
std::string bootRequestText(const std::vector<uint8_t>& request, const std::vector<uint8_t>* reply);
// A writable point whose value the host changed.
std::string pointChangeText(uint32_t type, uint32_t index, int32_t value);

}  // namespace tavrik::sim
