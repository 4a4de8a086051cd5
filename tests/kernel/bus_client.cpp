// A client of tavrikd for the kernel tier, for what busctl cannot do from a shell script:
// follow the modules' signals as a user who is not root (busctl monitor needs root), and
// hold an Inhibit() descriptor for as long as the script wants.
//   kt_bus_client ADDRESS watch
//     prints "watching" once subscribed, then one line per io.tavrik1.Module signal:
//     "PointChanged PATH TYPE INDEX VALUE INITIAL SEQUENCE" or "Error PATH CODE SEQUENCE MESSAGE"
//   kt_bus_client ADDRESS inhibit PATH REASON
//     prints "inhibited" once the descriptor is held, keeps it until standard input ends or
//     gives a line, then prints "released".
// A failed call prints "error NAME: MESSAGE" on standard output and exits with 1.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kService[] = "io.tavrik1";
constexpr char kModuleInterface[] = "io.tavrik1.Module";

sd_bus* connectTo(const char* address) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) {
        r = sd_bus_set_address(bus, address);
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_start(bus);
    }
    if (r < 0) {
        std::printf("error connect: %s\n", std::strerror(-r));
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

int printSignal(sd_bus_message* message, void*, sd_bus_error*) {
    const char* member = sd_bus_message_get_member(message);
    const char* path = sd_bus_message_get_path(message);
    if (member == nullptr || path == nullptr) {
        return 0;
    }
    if (std::strcmp(member, "PointChanged") == 0) {
        uint32_t type = 0;
        uint32_t index = 0;
        int32_t value = 0;
        int initial = 0;
        uint64_t sequence = 0;
        uint64_t timestamp = 0;
        if (sd_bus_message_read(message, "uuibtt", &type, &index, &value, &initial, &sequence,
                                &timestamp) >= 0) {
            std::printf("PointChanged %s %" PRIu32 " %" PRIu32 " %" PRId32 " %d %" PRIu64 "\n",
                        path, type, index, value, initial, sequence);
        }
    } else if (std::strcmp(member, "Error") == 0) {
        int32_t code = 0;
        const char* text = nullptr;
        uint64_t sequence = 0;
        uint64_t timestamp = 0;
        if (sd_bus_message_read(message, "istt", &code, &text, &sequence, &timestamp) >= 0) {
            std::printf("Error %s %" PRId32 " %" PRIu64 " %s\n", path, code, sequence, text);
        }
    } else {
        std::printf("%s %s\n", member, path);
    }
    std::fflush(stdout);
    return 0;
}

int watch(sd_bus* bus) {
    const std::string rule = std::string("type='signal',interface='") + kModuleInterface + "'";
    const int r = sd_bus_add_match(bus, nullptr, rule.c_str(), &printSignal, nullptr);
    if (r < 0) {
        std::printf("error match: %s\n", std::strerror(-r));
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    // Until the script ends it, or the bus goes.
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            return processed == -ECONNRESET || processed == -ENOTCONN ? 0 : 1;
        }
        if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) {
            return 1;
        }
    }
}

int inhibit(sd_bus* bus, const char* path, const char* reason) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kService, path, kModuleInterface, "Inhibit", &error, &reply,
                               "s", reason);
    if (r < 0) {
        std::printf("error %s: %s\n", error.name != nullptr ? error.name : "call",
                    error.message != nullptr ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        return 1;
    }
    int received = -1;
    r = sd_bus_message_read(reply, "h", &received);
    // The reply owns the descriptor it carried: a copy outlives it.
    const int held = r >= 0 ? ::dup(received) : -1;
    sd_bus_message_unref(reply);
    if (held < 0) {
        std::printf("error reply: no descriptor\n");
        return 1;
    }
    std::printf("inhibited\n");
    std::fflush(stdout);
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
    }
    ::close(held);
    std::printf("released\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool watching = argc == 3 && std::strcmp(argv[2], "watch") == 0;
    const bool inhibiting = argc == 5 && std::strcmp(argv[2], "inhibit") == 0;
    if (!watching && !inhibiting) {
        std::fprintf(stderr,
                     "usage: kt_bus_client ADDRESS watch\n"
                     "       kt_bus_client ADDRESS inhibit PATH REASON\n");
        return 2;
    }
    sd_bus* bus = connectTo(argv[1]);
    if (bus == nullptr) {
        return 1;
    }
    const int status = watching ? watch(bus) : inhibit(bus, argv[3], argv[4]);
    sd_bus_flush_close_unref(bus);
    return status;
}
