// The io.tavrik1.Module interface of one module's object.
#include <cstring>

#include "daemon.h"
#include "module_holder.h"
#include "utf8_text.h"

namespace tavrik::daemon {

namespace {

// The texts that IdentityBytes carries as the module gave them.
constexpr const char* kIdentityTexts[] = {"Serial",         "InfoSerial", "Name",
                                          "ProductString",  "TypeText",   "FirmwareVersion",
                                          "HardwareVersion"};

int appendNumbers(sd_bus_message* reply, const std::vector<uint32_t>& numbers) {
    return sd_bus_message_append_array(reply, 'u', numbers.data(),
                                       numbers.size() * sizeof(uint32_t));
}

}  // namespace

const sd_bus_vtable ModuleHolder::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Serial", "s", &ModuleHolder::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("State", "s", &ModuleHolder::property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("InfoSerial", "s", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Name", "s", &ModuleHolder::property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("ProductString", "s", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("TypeText", "s", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("FirmwareVersion", "s", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("HardwareVersion", "s", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("WatchdogTime", "x", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("PointCounts", "au", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("RelayOutputs", "au", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("IdentityBytes", "a{say}", &ModuleHolder::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD_WITH_ARGS("GetValue", SD_BUS_ARGS("u", type, "u", index),
                            SD_BUS_RESULT("i", value), &ModuleHolder::getValue,
                            SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("GetValues", SD_BUS_NO_ARGS, SD_BUS_RESULT("aai", values),
                            &ModuleHolder::getValues, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetValue", SD_BUS_ARGS("u", type, "u", index, "i", value),
                            SD_BUS_NO_RESULT, &ModuleHolder::setValue, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetValues", SD_BUS_ARGS("a(uui)", points), SD_BUS_NO_RESULT,
                            &ModuleHolder::setValues, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("Inhibit", SD_BUS_ARGS("s", reason), SD_BUS_RESULT("h", fd),
                            &ModuleHolder::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL_WITH_ARGS(
        "PointChanged",
        SD_BUS_ARGS("u", type, "u", index, "i", value, "b", initial, "t", sequence, "t", timestamp),
        0),
    SD_BUS_SIGNAL_WITH_ARGS("Error",
                            SD_BUS_ARGS("i", code, "s", message, "t", sequence, "t", timestamp), 0),
    SD_BUS_VTABLE_END};

const std::string* ModuleHolder::identityText(const std::string& name) const {
    return name == "Serial"            ? &serial_
           : name == "InfoSerial"      ? &identity_.infoSerial
           : name == "Name"            ? &identity_.name
           : name == "ProductString"   ? &productString_
           : name == "TypeText"        ? &identity_.typeText
           : name == "FirmwareVersion" ? &identity_.firmwareVersion
           : name == "HardwareVersion" ? &identity_.hardwareVersion
                                       : nullptr;
}

int ModuleHolder::property(sd_bus*, const char*, const char*, const char* property,
                           sd_bus_message* reply, void* self, sd_bus_error*) {
    const auto* holder = static_cast<const ModuleHolder*>(self);
    const ModuleIdentity& identity = holder->identity_;
    const std::string name = property;
    if (name == "PointCounts") {
        return appendNumbers(reply, identity.pointCounts);
    }
    if (name == "RelayOutputs") {
        return appendNumbers(reply, identity.relayOutputs);
    }
    if (name == "WatchdogTime") {
        return sd_bus_message_append(reply, "x", identity.watchdogTime);
    }
    if (name == "IdentityBytes") {
        int r = sd_bus_message_open_container(reply, 'a', "{say}");
        for (const char* key : kIdentityTexts) {
            const std::string& text = *holder->identityText(key);
            if (r >= 0) {
                r = sd_bus_message_open_container(reply, 'e', "say");
            }
            if (r >= 0) {
                r = sd_bus_message_append(reply, "s", key);
            }
            if (r >= 0) {
                r = sd_bus_message_append_array(reply, 'y', text.data(), text.size());
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(reply);
            }
        }
        return r < 0 ? r : sd_bus_message_close_container(reply);
    }
    // A D-Bus string must be UTF-8; the module's own bytes are in IdentityBytes.
    if (const std::string* text = holder->identityText(name)) {
        return sd_bus_message_append(reply, "s", validUtf8(*text).c_str());
    }
    return sd_bus_message_append(reply, "s", stateText(holder->state_));
}

int ModuleHolder::usable() const {
    if (state_ == ModuleState::Inhibited) {
        return DeviceBusy;
    }
    if (state_ != ModuleState::Running || device_ == nullptr) {
        return DeviceNotOpen;
    }
    return Ok;
}

int ModuleHolder::getValue(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* holder = static_cast<ModuleHolder*>(self);
    uint32_t type = 0;
    uint32_t index = 0;
    int r = sd_bus_message_read(call, "uu", &type, &index);
    if (r < 0) {
        return r;
    }
    int value = holder->usable();
    if (value == Ok) {
        value = holder->device_->getValue(type, deviceIndex(index));
    }
    if (value < 0) {
        return setResultError(error, value);
    }
    return sd_bus_reply_method_return(call, "i", static_cast<int32_t>(value));
}

// Every point from one state of the table: no exchange falls between two of them.
int ModuleHolder::getValues(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* holder = static_cast<ModuleHolder*>(self);
    int result = holder->usable();
    TavrikPointValues values;
    if (result == Ok) {
        result = holder->device_->getValues(values);
    }
    if (result != Ok) {
        return setResultError(error, result);
    }
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) {
        r = sd_bus_message_open_container(reply, 'a', "ai");
    }
    for (size_t type = 0; r >= 0 && type < values.size(); ++type) {
        r = sd_bus_message_append_array(reply, 'i', values[type].data(),
                                        values[type].size() * sizeof(int32_t));
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
    return r;
}

int ModuleHolder::setValue(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* holder = static_cast<ModuleHolder*>(self);
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;
    int r = sd_bus_message_read(call, "uui", &type, &index, &value);
    if (r < 0) {
        return r;
    }
    int result = holder->usable();
    if (result == Ok) {
        result = holder->device_->setValue(type, deviceIndex(index), value);
    }
    if (result != Ok) {
        return setResultError(error, result);
    }
    holder->replyAfterExchange(call);
    return 1;
}

int ModuleHolder::setValues(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* holder = static_cast<ModuleHolder*>(self);
    std::vector<PointWrite> writes;
    int r = sd_bus_message_enter_container(call, 'a', "(uui)");
    if (r < 0) {
        return r;
    }
    for (;;) {
        PointWrite write;
        r = sd_bus_message_read(call, "(uui)", &write.type, &write.index, &write.value);
        if (r < 0) {
            return r;
        }
        if (r == 0) {
            break;
        }
        writes.push_back(write);
    }
    r = sd_bus_message_exit_container(call);
    if (r < 0) {
        return r;
    }
    // All are checked before any is set, and all are set under one hold of the table lock,
    // so that one exchange carries them together.
    int result = holder->usable();
    if (result == Ok) {
        result = holder->device_->setValues(deviceWrites(writes));
    }
    if (result != Ok) {
        return setResultError(error, result);
    }
    holder->replyAfterExchange(call);
    return 1;
}

void ModuleHolder::replyAfterExchange(sd_bus_message* call) {
    auto reply = std::make_shared<PendingReply>(call);
    std::shared_ptr<TavrikDevice> device = device_;
    LoopQueue* queue = &daemon_.queue();
    daemon_.waitWorker().post([reply, device, queue]() mutable {
        const int result = device->waitForExchange(kExchangeWaitMs);
        device.reset();
        // Only the loop's thread touches the call, also when it lets it go.
        queue->post([reply = std::move(reply), result] { reply->finish(result); });
    });
}

}  // namespace tavrik::daemon
