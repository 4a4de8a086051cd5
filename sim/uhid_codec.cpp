#include "uhid_codec.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace tavrik::sim {

const std::array<uint8_t, 27> kReportDescriptor = {
    0x06, 0x00, 0xFF,  // usage page: vendor-defined 0xFF00
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, 0x40,        //   report count 64
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input: data, variable, absolute
    0x95, 0x40,        //   report count 64
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output: data, variable, absolute
    0xC0,              // end collection
};

namespace {

template <size_t N>
void copyText(uint8_t (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}

}  // namespace

uhid_event createRequest(const UhidIdentity& identity) {
    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    copyText(create.name, identity.name);
    copyText(create.phys, identity.phys);
    copyText(create.uniq, identity.uniq);
    create.rd_size = kReportDescriptor.size();
    std::memcpy(create.rd_data, kReportDescriptor.data(), kReportDescriptor.size());
    create.bus = BUS_USB;
    create.vendor = identity.vendorId;
    create.product = identity.productId;
    return event;
}

uhid_event inputRequest(const uint8_t* data, size_t length) {
    uhid_event event{};
    event.type = UHID_INPUT2;
    const size_t n = std::min(length, kReportSize);
    std::memcpy(event.u.input2.data, data, n);
    event.u.input2.size = static_cast<uint16_t>(n);
    return event;
}

uhid_event destroyRequest() {
    uhid_event event{};
    event.type = UHID_DESTROY;
    return event;
}

uhid_event refusal(const UhidMessage& request) {
    uhid_event event{};
    if (request.kind == UhidMessage::GetReport) {
        event.type = UHID_GET_REPORT_REPLY;
        event.u.get_report_reply.id = request.requestId;
        event.u.get_report_reply.err = EIO;
    } else {
        event.type = UHID_SET_REPORT_REPLY;
        event.u.set_report_reply.id = request.requestId;
        event.u.set_report_reply.err = EIO;
    }
    return event;
}

UhidMessage parseEvent(const uhid_event& event, size_t length) {
    UhidMessage message;
    const size_t header = offsetof(uhid_event, u);
    if (length < header) {
        message.kind = UhidMessage::Malformed;
        return message;
    }
    switch (event.type) {
        case UHID_START:
            message.kind = UhidMessage::Start;
            break;
        case UHID_STOP:
            message.kind = UhidMessage::Stop;
            break;
        case UHID_OPEN:
            message.kind = UhidMessage::Open;
            break;
        case UHID_CLOSE:
            message.kind = UhidMessage::Close;
            break;
        case UHID_OUTPUT:
            if (length < header + sizeof(uhid_output_req) || event.u.output.size > UHID_DATA_MAX) {
                message.kind = UhidMessage::Malformed;
                break;
            }
            message.kind = UhidMessage::Output;
            message.data.assign(event.u.output.data, event.u.output.data + event.u.output.size);
            break;
        case UHID_GET_REPORT:
            if (length < header + sizeof(uhid_get_report_req)) {
                message.kind = UhidMessage::Malformed;
                break;
            }
            message.kind = UhidMessage::GetReport;
            message.requestId = event.u.get_report.id;
            break;
        case UHID_SET_REPORT:
            if (length < header + offsetof(uhid_set_report_req, data)) {
                message.kind = UhidMessage::Malformed;
                break;
            }
            message.kind = UhidMessage::SetReport;
            message.requestId = event.u.set_report.id;
            break;
        default:
            message.kind = UhidMessage::Other;
            break;
    }
    return message;
}

std::optional<std::array<uint8_t, kReportSize>> outputReport(const std::vector<uint8_t>& data) {
    size_t skip = !data.empty() && data[0] == 0 ? 1 : 0;
    if (data.size() - skip > kReportSize) {
        return std::nullopt;
    }
    std::array<uint8_t, kReportSize> report{};
    std::copy(data.begin() + skip, data.end(), report.begin());
    return report;
}

}  // namespace tavrik::sim
