// The uhid messages tavrik_sim exchanges with the kernel, built and read as plain bytes.
#pragma once

#include <linux/uhid.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::sim {

constexpr size_t kReportSize = 64;

// One 64-byte input and one 64-byte output report, no report IDs, vendor-defined usage page.
extern const std::array<uint8_t, 27> kReportDescriptor;

struct UhidIdentity {
    std::string name;  // the HID product string
    std::string phys;
    std::string uniq;  // the HID serial-number string
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Texts longer than their fields are cut, always leaving the terminating NUL.
uhid_event createRequest(const UhidIdentity& identity);
// Data beyond one report is cut.
uhid_event inputRequest(const uint8_t* data, size_t length);
uhid_event destroyRequest();

// An event from the kernel, as far as the simulator cares.
struct UhidMessage {
    enum Kind { Start, Stop, Open, Close, Output, GetReport, SetReport, Other, Malformed };
    Kind kind = Other;
    std::vector<uint8_t> data;  // Output: the bytes the host wrote, report ID first
    uint32_t requestId = 0;     // GetReport, SetReport: what the answer must name
};

// Refuses a GetReport or SetReport request: this device has no feature reports, and the
// host waits for an answer.
uhid_event refusal(const UhidMessage& request);

UhidMessage parseEvent(const uhid_event& event, size_t length);

// The report a USB device receives for a host write, as the kernel's USB HID driver sends it:
// a leading report ID 0 is not sent, and a short report arrives zero-padded. Nothing when the
// write does not fit one report.
std::optional<std::array<uint8_t, kReportSize>> outputReport(const std::vector<uint8_t>& data);

}  // namespace tavrik::sim
