// Result codes and IO point types (declared in the public header), and the descriptors of
// configuration codes.
#pragma once

#include <cstdint>
#include <string>

#include "tavrik/tavrik.h"

namespace tavrik {

// Configuration code of a relay output (filed under Outputs).
constexpr uint32_t kRelayCode = 65;

// Point descriptor bits.
constexpr uint32_t kDescriptorCodeMask = 0xFF;
constexpr uint32_t kDescriptorWide = 0x200;
constexpr uint32_t kDescriptorWritable = 0x400;
constexpr uint32_t kDescriptorMeasured = 0x800;
constexpr uint32_t kDescriptorPulse = 0x1000;

// Descriptor word of a configuration code or type value; 0 for code 0 and unknown codes.
uint32_t pointDescriptor(uint32_t code);

}  // namespace tavrik
