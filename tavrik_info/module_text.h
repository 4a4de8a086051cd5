// Texts that a module reports (name, type, serial number, firmware and hardware versions), made
// safe for a terminal. The module chooses their bytes, so printed raw a control byte would reach
// the user's terminal as a command: a cursor move, a title or clipboard write.
#pragma once

#include <string>

namespace tavrik {

// The text with each control byte written as \xHH (two upper-case hex digits): bytes below
// 0x20, 0x7F, and 0x80 to 0x9F, which terminals take as C1 controls. The texts are 8-bit, so
// they are taken byte by byte, not as UTF-8: a byte 0x80 to 0x9F inside a UTF-8 sequence is
// escaped as well. Every other byte, the backslash among them, is kept as it is.
std::string terminalText(const std::string& text);

}  // namespace tavrik
