#include <iostream>
#include <sstream>
#include <vector>

#include "device_list.h"
#include "info_commands.h"

namespace tavrik {

namespace {

// The API thread prints events while the main thread may still be writing the prompt. One
// unformatted write per whole line keeps lines apart and leaves the stream's formatting state
// to a single thread.
void writeLine(const std::ostringstream& line) {
    const std::string text = line.str() + "\n";
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
}

}  // namespace

void printEvent(int32_t kind, int32_t type, int32_t index, int32_t value, TavrikDevice&) {
    std::ostringstream line;
    if (kind == kEventError) {
        line << "Error Event: " << resultMessage(value);
    } else if (kind == kEventIo) {
        const auto ioType = static_cast<uint32_t>(type);
        line << "IO Event: " << ioTypeName(ioType) << "[" << index << "] ";
        if (ioType == PoeStatus) {
            printPoeStatus(line, value);
        } else {
            line << value;
        }
    } else {
        line << "Unknown Event: " << kind << ":" << value;
    }
    writeLine(line);
}

int listenForEvents(int32_t dev) {
    std::vector<std::string> serials;
    enumerateDevices(serials);
    TavrikDevice device;
    if (!openListedDevice(serials, dev, device)) {
        return -1;
    }
    device.setEventCallback(printEvent);
    std::ostringstream prompt;
    prompt << "Listening for events...  Press enter to exit";
    writeLine(prompt);
    // A console hands over its input line by line, so this returns on Enter; it also returns
    // at the end of the input.
    std::cin.get();
    // The API thread's final ApiThreadStopped event still prints while close() joins it.
    device.close();
    return 0;
}

}  // namespace tavrik
