// Texts that a module reports (name, type, serial number, firmware and hardware versions), made
// safe for a terminal. The module chooses their bytes, so printed raw a control byte would reach
// the user's terminal as a command: a cursor move, a title or clipboard write.
#pragma once

#include <string>

namespace tavrik {

// The text with each control written as \xHH (two upper-case hex digits) per byte: bytes below
// 0x20 and 0x7F; bytes 0x80 to 0x9F, which terminals take as C1 controls, where they are not
// part of a valid UTF-8 sequence; and the UTF-8 forms of the C1 controls, U+0080 to U+009F.
// Every other byte, the backslash and valid UTF-8 among them, is kept as it is.
std::string terminalText(const std::string& text);

}  // namespace tavrik
