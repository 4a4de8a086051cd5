#include <iostream>
#include <sstream>
#include <vector>

#include "info_commands.h"
#include "listening_end.h"

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

void printEvent(const Event& event) {
    std::ostringstream line;
    if (event.kind == Event::Error) {
        line << "Error Event: " << resultMessage(event.value);
    } else if (event.kind == Event::Io) {
        line << "IO Event: " << ioTypeName(event.type) << "[" << event.index << "] ";
        if (event.type == PoeStatus) {
            printPoeStatus(line, event.value);
        } else {
            line << event.value;
        }
    } else {
        line << "Unknown Event: " << event.kind << ":" << event.value;
    }
    writeLine(line);
}

int listenForEvents(int32_t dev) {
    ListeningEnd end;
    const std::vector<std::string> serials = devices();
    Device device;
    if (!openListedDevice(serials, dev, device)) {
        return -1;
    }
    device.setEventCallback(printEvent);
    std::ostringstream prompt;
    prompt << "Listening for events...  Press enter to exit";
    writeLine(prompt);
    end.await();
    // The API thread's final ApiThreadStopped event still prints while close() joins it.
    device.close();
    return 0;
}

}  // namespace tavrik
