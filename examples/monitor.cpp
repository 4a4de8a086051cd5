// A small monitoring daemon over libtavrik: follows modules as they are plugged in and out,
// opens each one in application mode and prints the changes of its inputs, buttons and alarm
// lines, all on one poll loop, until SIGINT or SIGTERM.
// Usage: tavrik-monitor
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <tavrik/tavrik.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string stamp() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
}

// Opens and starts a module that arrived; null when that fails (busy, gone again).
std::unique_ptr<tavrik::Device> openModule(const std::string& serial) {
    auto device = std::make_unique<tavrik::Device>();
    int result = device->open(serial);
    if (result == tavrik::Ok) {
        result = device->start();
    }
    if (result != tavrik::Ok) {
        std::cerr << serial << ": " << tavrik::resultMessage(result) << std::endl;
        return nullptr;
    }
    return device;
}

void printEvent(const std::string& serial, const tavrik::EventRecord& record) {
    const tavrik::Event& e = record.event;
    std::cout << stamp() << " " << serial << " ";
    if (e.kind == tavrik::Event::Io) {
        std::cout << tavrik::ioTypeName(e.type) << "[" << e.index << "] = " << e.value
                  << (record.initial ? " (initial)" : "");
    } else {
        std::cout << "error: " << tavrik::resultMessage(e.value);
    }
    std::cout << std::endl;
}

}  // namespace

int main() {
    // The signals come through a descriptor, so that the loop ends cleanly between events.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    tavrik::Monitor monitor;
    if (signalFd < 0 || monitor.start() != tavrik::Ok) {
        std::cerr << "cannot watch for modules" << std::endl;
        return 1;
    }
    std::map<std::string, std::unique_ptr<tavrik::Device>> devices;  // by serial
    for (bool running = true; running;) {
        std::vector<pollfd> fds = {{signalFd, POLLIN, 0}, {monitor.fd(), POLLIN, 0}};
        std::vector<std::string> serials;
        for (const auto& [serial, device] : devices) {
            fds.push_back({device->eventFd(), POLLIN, 0});
            serials.push_back(serial);
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;  // interrupted
        }
        if (fds[0].revents & POLLIN) {
            running = false;
        }
        tavrik::HotplugEvent change;
        while (monitor.readEvent(change, 0) == 1) {
            const tavrik::ModuleInfo& module = change.module;
            const bool application = module.mode == tavrik::Mode::Application;
            std::cout << stamp() << " " << module.serial << (change.arrived ? " arrived" : " left")
                      << (application ? " (application)" : " (bootloader)") << std::endl;
            if (!application) {
                continue;
            }
            if (!change.arrived) {
                devices.erase(module.serial);
            } else if (auto device = openModule(module.serial)) {
                devices[module.serial] = std::move(device);
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            const auto found = devices.find(serials[i - 2]);
            if (found == devices.end() || !(fds[i].revents & POLLIN)) {
                continue;  // left meanwhile, or nothing new
            }
            tavrik::EventRecord record;
            while (found->second->readEvent(record, 0) == 1) {
                if (record.event.kind == tavrik::Event::Error &&
                    record.event.value == tavrik::ApiThreadStopped) {
                    break;  // the module went away; the monitor reports it
                }
                printEvent(found->first, record);
            }
        }
    }
    devices.clear();  // each closes its module
    close(signalFd);
    return 0;
}
