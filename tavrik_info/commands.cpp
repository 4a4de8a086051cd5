#include <chrono>
#include <ctime>
#include <iostream>
#include <thread>
#include <vector>

#include "info_commands.h"
#include "module_text.h"

namespace tavrik {

namespace {

// Leaves the API thread time for an exchange: the first one after start, or the one that
// carries a written output before the module is closed.
void pauseForApiThread() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// How long -o waits, after its pause, for the exchange that carries the value: enough for every
// attempt of the request rule, each bounded however many messages the module sends meanwhile.
constexpr int kValueSentMs = 4000;

void printDeviceBlock(size_t position, Device& device) {
    std::cout << "Device   : " << position << "\n"
              << "Index    : " << device.configIndex() << "\n"
              << "Name     : " << terminalText(device.name()) << "\n"
              << "Serial   : " << terminalText(device.serial()) << "\n"
              << "Firmware : " << terminalText(device.firmwareVersion()) << "\n"
              << "Hardware : " << terminalText(device.hardwareVersion()) << std::endl;
    if (device.watchdogTime() != 0) {
        // The asctime text carries its own newline, so an empty line follows.
        std::cout << "watchdog : " << watchdogTimeText(device.watchdogTime()) << "\n" << std::endl;
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const size_t count = device.pointCount(type);
        if (count == 0) {
            continue;
        }
        std::cout << "\n" << ioTypeName(type) << " [" << count << "]\n";
        for (size_t i = 0; i < count; ++i) {
            const auto index = static_cast<int32_t>(i);
            std::cout << "  " << i << " = ";
            if (type == PoeStatus) {
                printPoeStatus(std::cout, device.value(type, index));
            } else {
                const bool relay = device.isRelay(type, index);
                std::cout << device.value(type, index) << (relay ? " (relay)" : "");
            }
            std::cout << std::endl;
        }
    }
}

}  // namespace

int openDevice(const std::string& serial, Device& device) {
    int result = device.open(serial);
    if (result != Ok) {
        printResultError("Error opening device " + terminalText(serial) + " : ", result);
        return result;
    }
    result = device.start();
    if (result != Ok) {
        printResultError("Error starting device: ", result);
        return result;
    }
    pauseForApiThread();
    return Ok;
}

bool openListedDevice(const std::vector<std::string>& serials, int32_t dev, Device& device) {
    if (dev < 0 || static_cast<size_t>(dev) >= serials.size()) {
        std::cerr << "Device " << dev << " not available" << std::endl;
        return false;
    }
    return openDevice(serials[dev], device) == Ok;
}

void listDeviceInfo() {
    const std::vector<std::string> serials = devices();
    Device device;
    if (serials.empty()) {
        std::cout << "No Tavrik devices found or all devices busy" << std::endl;
        return;
    }
    for (size_t position = 0; position < serials.size(); ++position) {
        std::cout << kSeparator;
        if (openDevice(serials[position], device) != Ok) {
            continue;
        }
        printDeviceBlock(position, device);
        device.close();
    }
}

int readIoState(int32_t dev, int32_t iopoint, int32_t type) {
    const std::vector<std::string> serials = devices();
    Device device;
    if (!openListedDevice(serials, dev, device)) {
        return -1;
    }
    const int value = device.value(static_cast<uint32_t>(type), iopoint);
    if (value < 0) {
        printResultError("Error getting io state: ", value);
        return -1;
    }
    std::cout << value << std::endl;
    device.close();
    return 0;
}

int setOutputState(int32_t dev, int32_t output, int32_t value, int32_t type) {
    const std::vector<std::string> serials = devices();
    Device device;
    const auto ioType = static_cast<uint32_t>(type);
    if (!isWritableType(ioType)) {
        std::cerr << ioTypeName(ioType) << "[" << output << "] is not an output" << std::endl;
        return -1;
    }
    if (!openListedDevice(serials, dev, device)) {
        return -1;
    }
    const int result = device.setValue(ioType, output, value);
    if (result != Ok) {
        printResultError("Error setting output: ", result);
        return -1;
    }
    std::cout << "Setting device[" << dev << "] " << ioTypeName(ioType) << "[" << output << "] to "
              << value << std::endl;
    pauseForApiThread();
    // Success means the module answered an exchange that carried the value; a module that went
    // away or kept failing must not read as a switched output.
    const int sent = device.waitForExchange(kValueSentMs);
    if (sent != Ok) {
        printResultError("Error setting output: ", sent);
        return -1;
    }
    device.close();
    return 0;
}

std::ostream& printPoeStatus(std::ostream& stream, int32_t status) {
    const auto word = static_cast<uint32_t>(status);
    stream << "class" << (word & kPoeClassMask);
    for (const PoeStatusFlag& flag : poeStatusFlags()) {
        if (word & flag.mask) {
            stream << " " << flag.word;
        }
    }
    return stream;
}

std::string watchdogTimeText(int64_t seconds) {
    std::tm calendar{};
#ifdef _WIN32
    // time_t of 32-bit Windows ends in 2038; the module's count runs to 2106.
    const __time64_t time = seconds;
    const bool converted = _gmtime64_s(&calendar, &time) == 0;
#else
    const auto time = static_cast<std::time_t>(seconds);
    const bool converted = gmtime_r(&time, &calendar) != nullptr;
#endif
    char text[32];
    // strftime rather than asctime: the layout wants the day of the month zero-padded.
    if (!converted || std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &calendar) == 0) {
        return std::to_string(seconds);
    }
    return text;
}

}  // namespace tavrik
