// One request and its reply through TavrikConnection and the HID layer, against a virtual module
// whose reply is ready at once: the host's own cost per request, without the module's latency.
#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "hid_backend.h"
#include "tavrik_connection.h"
#include "tavrik_result.h"
#include "virtual_module.h"

namespace tavrik {
namespace {

// Passes every call on to the bus, leaving the simulated module's own allocations uncounted.
class HostOnlyBackend : public hid::HidBackend {
  public:
    explicit HostOnlyBackend(hid::HidBackend& bus) : bus_(bus) {}

    std::vector<hid::EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override {
        bench::AllocationPause pause;
        return bus_.enumerate(vendorId, productId);
    }
    hid::hid_device* openPath(const char* path, int* status) override {
        bench::AllocationPause pause;
        return bus_.openPath(path, status);
    }
    int write(hid::hid_device* dev, const unsigned char* data, size_t length) override {
        bench::AllocationPause pause;
        return bus_.write(dev, data, length);
    }
    int readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                    int milliseconds) override {
        bench::AllocationPause pause;
        return bus_.readTimeout(dev, data, length, milliseconds);
    }
    int productString(hid::hid_device* dev, wchar_t* string, size_t maxlen) override {
        bench::AllocationPause pause;
        return bus_.productString(dev, string, maxlen);
    }
    void close(hid::hid_device* dev) override {
        bench::AllocationPause pause;
        bus_.close(dev);
    }

  private:
    hid::HidBackend& bus_;
};

virt::ModuleConfig extendedModule() {
    virt::ModuleConfig module;
    module.usbSerial = "B1";
    module.infoSerial = "B1";
    module.deviceFlags = kFlagExtendedLayout;
    module.ioConfig = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 65, 65, 8, 9, 10, 11};
    return module;
}

// Arg: the command sent, 1 (keep-alive) or 6 (extended state exchange).
void BM_ConnectionRequest(benchmark::State& state) {
    virt::VirtualBus bus;
    bus.add(extendedModule());
    HostOnlyBackend backend(bus);
    hid::setBackend(&backend);
    {
        TavrikConnection connection;
        if (connection.open(applicationDeviceIds[0], "B1") != Ok) {
            state.SkipWithError("the virtual module did not open");
        } else {
            const TavrikMessage request = state.range(0) == CmdStatus
                                              ? statusRequest(ModeRunning, 1700000000)
                                              : stateRequest(true, ModeRunning);
            TavrikMessage reply;
            bench::AllocationsPerIteration allocations;
            for (auto _ : state) {
                TavrikMessage sent = request;
                if (connection.request(sent, reply) != Ok) {
                    state.SkipWithError("the request failed");
                    break;
                }
                benchmark::DoNotOptimize(reply);
            }
            allocations.report(state, "host_allocs");
        }
    }
    hid::setBackend(nullptr);
}
BENCHMARK(BM_ConnectionRequest)->ArgName("command")->Arg(CmdStatus)->Arg(CmdStateExtended);

}  // namespace
}  // namespace tavrik
