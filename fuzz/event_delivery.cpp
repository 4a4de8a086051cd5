// The running device's handling of unsolicited messages: a virtual module built from the
// input's configuration (either layout) sends the input's messages to an opened and started
// TavrikDevice, whose API thread hands them to its message handler. Every IO event and error
// event, and every point value afterwards, is checked against the module's own layout.
//
// Input: byte 0 the device flags (bit 0: extended layout), byte 1 the number of configuration
// codes, the codes, then messages, each as a length byte (at most 62) and that many bytes
// from the command byte on; the rest of the message is 0, and preamble and check byte are
// set, since the transport hands on only messages that pass both.
//
// Opening and starting a device takes tens of milliseconds (the start waits for the API
// thread), so opened devices are kept per configuration and put back into the module's state
// before each input: each input sees the same device state whatever ran before it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "hid_backend.h"
#include "point_layout.h"
#include "tavrik_device.h"
#include "virtual_module.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

constexpr size_t kMaxMessages = 128;
constexpr size_t kMessageBody = kMessageSize - 2;  // command byte to byte 62
constexpr size_t kCachedDevices = 16;
constexpr size_t kModulesPerBus = 256;  // then a fresh bus, so the old modules are freed
// Only a hung API thread or a lost message waits this long.
constexpr auto kSettleWait = std::chrono::seconds(20);
constexpr int kSettleWaitMs = 20000;
constexpr int8_t kMarkerCode = -14;
constexpr int8_t kEndCode = -13;

struct Reported {
    int32_t kind, type, index, value;
    bool operator==(const Reported& o) const {
        return kind == o.kind && type == o.type && index == o.index && value == o.value;
    }
};

// One recorder for the process: the callback is a free function, and only the device being
// fed raises events.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Reported> events;
    size_t errors = 0;
    const TavrikDevice* expected = nullptr;
    bool foreign = false;
};
Recorder& recorder() {
    static Recorder* r = new Recorder;  // outlives every API thread
    return *r;
}

void record(int32_t kind, int32_t type, int32_t index, int32_t value, TavrikDevice& device) {
    if (kind == kEventIo) {
        // The table lock is free during a callback, and nothing else writes the point.
        require(device.getValue(static_cast<uint32_t>(type), index) == value,
                "a callback reads the value its event reports");
    }
    Recorder& r = recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.foreign = r.foreign || &device != r.expected;
    r.events.push_back({kind, type, index, value});
    if (kind == kEventError) {
        ++r.errors;
    }
    r.changed.notify_all();
}

// No periodic exchange or keep-alive after the first pass: only the input's messages reach
// the handler once a device has settled.
class FrozenClock : public DeviceClock {
  public:
    TimePoint monotonicNow() override { return TimePoint(); }
    int64_t wallSeconds() override { return 1767225600; }  // 2026-01-01 00:00 UTC
};

bool measuredType(uint32_t type) {
    return type == PoeVoltage || type == PoeCurrent || type == PoeTemperature;
}

// Number of chunks one state exchange takes over an image of this length.
size_t exchangeChunks(uint32_t imageLength, bool extended) {
    const uint32_t step = extended ? msg::ExtendedStep : msg::BasicStep;
    size_t chunks = 0;
    uint32_t offset = 0;
    do {
        ++chunks;
        offset += step;
    } while (offset < imageLength);
    return chunks;
}

struct OpenDevice {
    std::vector<uint8_t> key;  // flags byte, then the codes
    size_t module = 0;
    std::unique_ptr<TavrikDevice> device;
    virt::PointLayout layout;       // the points the host knows: the first 128 codes
    std::vector<uint8_t> image;     // the module's image, as the device holds it when settled
    std::vector<int32_t> writable;  // values of writable points, by layout position
};

struct State {
    FrozenClock clock;
    std::unique_ptr<virt::VirtualBus> bus;
    size_t modules = 0;
    std::list<OpenDevice> devices;  // most recently used first
};

State& state() {
    static State* s = new State;  // outlives every API thread; closed at exit
    return *s;
}

void closeDevice(OpenDevice& open) {
    open.device->setEventCallback(nullptr);
    open.device->close();
}

void closeAll() {
    State& s = state();
    for (OpenDevice& open : s.devices) {
        closeDevice(open);
    }
    s.devices.clear();
}

void freshBus() {
    State& s = state();
    closeAll();
    hid::setBackend(nullptr);
    s.bus = std::make_unique<virt::VirtualBus>();
    hid::setBackend(s.bus.get());
    s.modules = 0;
}

OpenDevice openDevice(const std::vector<uint8_t>& key) {
    State& s = state();
    if (!s.bus || s.modules >= kModulesPerBus) {
        freshBus();
    }
    const uint8_t flags = key[0];
    const bool extended = (flags & kFlagExtendedLayout) != 0;
    const std::vector<uint8_t> codes(key.begin() + 1, key.end());
    const std::string serial = "FZ" + std::to_string(s.modules++);

    virt::ModuleConfig config;
    config.usbSerial = serial;
    config.infoSerial = serial;
    config.infoName = "Fuzz " + serial;
    config.deviceFlags = flags;
    config.ioConfig = codes;

    OpenDevice open;
    open.key = key;
    open.module = s.bus->add(config);
    const std::vector<uint8_t> known(codes.begin(),
                                     codes.begin() + std::min(codes.size(), kMaxConfigEntries));
    open.layout = virt::layoutFor(known, extended);
    open.device = std::make_unique<TavrikDevice>(&s.clock);
    require(open.device->open(serial) == Ok, "a module of any configuration opens");
    require(open.device->start() == Ok, "the API thread starts");

    // The start's forced exchange and the first pass's exchange, whose replies must come
    // before any message of an input.
    const uint8_t command = extended ? CmdStateExtended : CmdStateBasic;
    const size_t wanted = 2 * exchangeChunks(open.layout.imageLength, extended);
    const bool settled =
        s.bus->waitFor(open.module, kSettleWaitMs, [command, wanted](const virt::VirtualModule& m) {
            size_t n = 0;
            for (const TavrikMessage& r : m.requests()) {
                n += r.command() == command && r.bytes[msg::Parameter] == 1;
            }
            return n >= wanted;
        });
    require(settled, "the API thread exchanges the state at start and on its first pass");

    open.image = s.bus->withModule(open.module, [](virt::VirtualModule& m) { return m.image(); });
    open.image.resize(open.layout.imageLength);
    for (const virt::PointSlot& slot : open.layout.points) {
        open.writable.push_back(open.device->getValue(slot.type, static_cast<int32_t>(slot.index)));
    }
    open.device->setEventCallback(record);
    return open;
}

OpenDevice& deviceFor(const std::vector<uint8_t>& key) {
    State& s = state();
    for (auto it = s.devices.begin(); it != s.devices.end(); ++it) {
        if (it->key == key) {
            s.devices.splice(s.devices.begin(), s.devices, it);
            return s.devices.front();
        }
    }
    if (s.devices.size() >= kCachedDevices) {
        closeDevice(s.devices.back());
        s.devices.pop_back();
    }
    OpenDevice open = openDevice(key);
    s.devices.push_front(std::move(open));
    return s.devices.front();
}

TavrikMessage sealed(const uint8_t* body, size_t length) {
    TavrikMessage message;
    std::memcpy(message.bytes + msg::Command, body, length);
    sealMessage(message);
    return message;
}

// State events that carry the module's image, as the device holds it once settled. Command 7
// also reaches past the 27 bytes of a basic-layout event, which an input's command 7 may have
// changed.
std::vector<TavrikMessage> restoringEvents(const OpenDevice& open) {
    std::vector<TavrikMessage> events;
    for (size_t offset = 0; offset < open.image.size(); offset += msg::ExtendedStep) {
        TavrikMessage event;
        event.bytes[msg::Command] = CmdStateEventExtended;
        writeU16(event.bytes + msg::ImageOffset, static_cast<uint16_t>(offset));
        const size_t n = std::min(msg::ExtendedChunk, open.image.size() - offset);
        std::memcpy(event.bytes + msg::ExtendedImage, open.image.data() + offset, n);
        sealMessage(event);
        events.push_back(event);
    }
    return events;
}

// What the module's layout says the device must report for one message, applied to the
// model's image; writable points and the bytes of unknown codes never follow a state event.
void expectMessage(const OpenDevice& open, const TavrikMessage& message,
                   std::vector<uint8_t>& image, std::vector<Reported>& expected) {
    const uint8_t* chunk = nullptr;
    size_t offset = 0;
    size_t size = 0;
    switch (message.command()) {
        case CmdStateEventBasic:
            chunk = message.bytes + msg::BasicImage;
            size = msg::BasicChunk;
            break;
        case CmdStateEventExtended:
            chunk = message.bytes + msg::ExtendedImage;
            offset = readU16(message.bytes + msg::ImageOffset);
            size = msg::ExtendedChunk;
            break;
        case CmdErrorEvent:
            expected.push_back(
                {kEventError, static_cast<int32_t>(kIoTypeCount), 0, message.status()});
            return;
        default:
            return;
    }
    std::vector<Reported> changes;
    for (const virt::PointSlot& slot : open.layout.points) {
        const size_t byte = slot.bit / 8;
        if (slot.writable || byte < offset || byte - offset >= size ||
            (slot.wide && byte - offset + 1 >= size)) {
            continue;
        }
        const size_t at = byte - offset;
        const uint32_t raw =
            slot.wide ? chunk[at] | (chunk[at + 1] << 8) : (chunk[at] >> (slot.bit % 8)) & 1;
        if (raw == virt::readRaw(image, slot)) {
            continue;
        }
        virt::writeRaw(image, slot, raw);
        if (!measuredType(slot.type)) {
            changes.push_back({kEventIo, static_cast<int32_t>(slot.type),
                               static_cast<int32_t>(slot.index), virt::hostValue(slot, raw)});
        }
    }
    // Type order, then point order.
    std::stable_sort(changes.begin(), changes.end(), [](const Reported& a, const Reported& b) {
        return a.type != b.type ? a.type < b.type : a.index < b.index;
    });
    expected.insert(expected.end(), changes.begin(), changes.end());
}

void printEvents(const char* title, const std::vector<Reported>& events) {
    std::fprintf(stderr, "%s:", title);
    for (const Reported& e : events) {
        std::fprintf(stderr, " {%d,%d,%d,%d}", e.kind, e.type, e.index, e.value);
    }
    std::fprintf(stderr, "\n");
}

void checkValues(OpenDevice& open, const std::vector<uint8_t>& image) {
    TavrikDevice& device = *open.device;
    size_t perType[kIoTypeCount] = {};
    for (size_t i = 0; i < open.layout.points.size(); ++i) {
        const virt::PointSlot& slot = open.layout.points[i];
        ++perType[slot.type];
        const int value = device.getValue(slot.type, static_cast<int32_t>(slot.index));
        require(value >= 0 && value <= (slot.wide ? 0xFFFF : 1),
                "a point reads back within its width");
        if (slot.writable) {
            require(value == open.writable[i], "a state event leaves writable points alone");
        } else {
            require(value == virt::hostValue(slot, virt::readRaw(image, slot)),
                    "a point reads what the module's layout puts there");
        }
    }
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        require(device.pointCount(type) == perType[type], "the table has the module's points");
        require(device.getValue(type, static_cast<int32_t>(perType[type])) == IoPointOutOfRange,
                "a point past the row is out of range");
    }
    require(device.getValue(kIoTypeCount, 0) == IoPointOutOfRange,
            "a type past the table is out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t codes = std::min<size_t>(data[1], size - 2);
    std::vector<uint8_t> key;
    key.push_back(data[0]);
    key.insert(key.end(), data + 2, data + 2 + codes);
    std::vector<TavrikMessage> messages;
    for (size_t at = 2 + codes; at < size && messages.size() < kMaxMessages;) {
        const size_t length =
            std::min({static_cast<size_t>(data[at]), kMessageBody, size - at - 1});
        messages.push_back(sealed(data + at + 1, length));
        at += 1 + length;
    }

    static const bool cleanup = [] { return std::atexit(closeAll) == 0; }();
    (void)cleanup;
    OpenDevice& open = deviceFor(key);
    virt::VirtualBus& bus = *state().bus;

    std::vector<uint8_t> image = open.image;
    std::vector<Reported> expected;
    size_t errors = 2;  // the marker and the end
    expected.push_back({kEventError, static_cast<int32_t>(kIoTypeCount), 0, kMarkerCode});
    for (const TavrikMessage& message : messages) {
        expectMessage(open, message, image, expected);
        errors += message.command() == CmdErrorEvent;
    }
    expected.push_back({kEventError, static_cast<int32_t>(kIoTypeCount), 0, kEndCode});

    Recorder& r = recorder();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.events.clear();
        r.errors = 0;
        r.expected = open.device.get();
        r.foreign = false;
    }
    for (const TavrikMessage& event : restoringEvents(open)) {
        bus.sendRaw(open.module, event);
    }
    bus.sendErrorEvent(open.module, kMarkerCode);
    for (const TavrikMessage& message : messages) {
        bus.sendRaw(open.module, message);
    }
    bus.sendErrorEvent(open.module, kEndCode);

    std::vector<Reported> seen;
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        const bool all = r.changed.wait_for(lock, kSettleWait, [&] { return r.errors >= errors; });
        require(all, "every message reaches the handler and the API thread goes on");
        require(!r.foreign, "events come from the device that got the messages");
        // The events of putting the state back come before the marker.
        const auto marker = std::find_if(r.events.begin(), r.events.end(),
                                         [](const Reported& e) { return e.kind == kEventError; });
        seen.assign(marker, r.events.end());
    }
    if (!(seen == expected)) {
        printEvents("expected", expected);
        printEvents("seen", seen);
        require(false, "the events are those of the changed points, in type and point order");
    }
    require(open.device->status() == Ok, "the API thread still runs");
    checkValues(open, image);
    return 0;
}
