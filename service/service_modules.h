// What the hot-plug monitor learns from tavrikd: which modules it serves, and word of every
// change of them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#ifndef _WIN32
#include <systemd/sd-event.h>
#endif

namespace tavrik {

class ServiceModules {
  public:
    ServiceModules();
    ServiceModules(const ServiceModules&) = delete;
    ServiceModules& operator=(const ServiceModules&) = delete;
    ~ServiceModules();

    // The USB serials of the modules that the service has open and serves; nullopt when no
    // service answers or it refuses the caller.
    std::optional<std::set<std::string>> running();

#ifndef _WIN32
    // changed runs on event's loop when the service's modules arrive, leave or change their
    // state, and when the service starts or ends. Negative errno when there is no bus.
    int follow(sd_event* event, std::function<void()> changed);
#endif

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavrik
