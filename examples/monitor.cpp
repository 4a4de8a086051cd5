// Prints every change of a module's inputs, buttons and alarm lines with a timestamp, until
// Ctrl-C. Usage: tavrik-monitor [serial]   (the first module of the device list by default)
#include <tavrik/tavrik.h>

#include <csignal>
#include <ctime>
#include <iostream>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> modules = tavrik::devices();
    const std::string serial = argc > 1 ? argv[1] : (modules.empty() ? "" : modules[0]);
    if (serial.empty()) {
        std::cerr << "no module attached\n";
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    tavrik::Device device;
    device.setEventCallback([](const tavrik::Event& event) {
        const std::time_t now = std::time(nullptr);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
        if (event.kind == tavrik::Event::Io) {
            std::cout << stamp << " " << tavrik::ioTypeName(event.type) << "[" << event.index
                      << "] = " << event.value << std::endl;
        } else {
            std::cout << stamp << " error: " << tavrik::resultMessage(event.value) << std::endl;
        }
    });
    int result = device.open(serial);
    if (result == tavrik::Ok) {
        result = device.start();
    }
    if (result != tavrik::Ok) {
        std::cerr << serial << ": " << tavrik::resultMessage(result) << "\n";
        return 1;
    }
    while (!stopRequested && device.status() == tavrik::Ok) {
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    device.setEventCallback(nullptr);  // no report of the thread's end when we end it
    device.close();
    return 0;
}
