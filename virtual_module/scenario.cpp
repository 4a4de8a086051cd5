#include "scenario.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>

#include "point_layout.h"

namespace tavrik::virt {

namespace {

constexpr size_t kMaxConfigEntries = 255;

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A comment starts at a '#' that begins the line or follows white space, so "Rack#1" stays.
std::string withoutComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

// Decimal, or hexadecimal after 0x; the whole text must be the number.
bool parseNumber(const std::string& text, long long min, long long max, long long& value) {
    if (text.empty()) {
        return false;
    }
    size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
    int base = 10;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    }
    if (at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long magnitude = std::strtoll(text.c_str() + at, &end, base);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    value = text[0] == '-' ? -magnitude : magnitude;
    return value >= min && value <= max;
}

struct PointCheck {
    int line;
    uint32_t type;
    uint32_t index;
};

class Parser {
  public:
    Parser(Scenario& scenario, ScenarioError& error) : scenario_(scenario), error_(error) {}

    bool line(int number, const std::string& raw);
    bool finish() { return finishModule(); }

  private:
    bool fail(const std::string& message) {
        error_.line = line_;
        error_.message = message;
        return false;
    }
    bool number(const std::string& text, long long min, long long max, long long& value) {
        return parseNumber(text, min, max, value) ||
               fail("'" + text + "' is not a number from " + std::to_string(min) + " to " +
                    std::to_string(max));
    }
    template <typename T>
    bool numberInto(const std::string& text, long long min, long long max, T& into) {
        long long value = 0;
        if (!number(text, min, max, value)) {
            return false;
        }
        into = static_cast<T>(value);
        return true;
    }
    bool flag(const std::string& text, bool& into) {
        if (text != "0" && text != "1") {
            return fail("'" + text + "' is not 0 or 1");
        }
        into = text == "1";
        return true;
    }

    bool moduleKey(const std::string& key, const std::string& value);
    bool configKey(const std::string& value);
    bool pointKey(const std::string& value);
    bool atKey(const std::string& value);
    bool faultKey(const std::string& value);
    bool finishModule();

    Scenario& scenario_;
    ScenarioError& error_;
    int line_ = 0;
    ModuleConfig* module_ = nullptr;
    std::set<std::string> seen_;
    bool infoSerialSet_ = false;
    bool wireSeen_ = false;
    int configLine_ = 0;
    std::vector<PointCheck> checks_;
};

bool Parser::line(int number, const std::string& raw) {
    line_ = number;
    const std::string text = trim(withoutComment(raw));
    if (text.empty()) {
        return true;
    }
    if (text.front() == '[') {
        if (text != "[module]") {
            return fail("unknown section " + text);
        }
        if (!finishModule()) {
            return false;
        }
        scenario_.modules.emplace_back();
        module_ = &scenario_.modules.back();
        seen_.clear();
        infoSerialSet_ = false;
        configLine_ = 0;
        checks_.clear();
        return true;
    }
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return fail("expected 'key = value'");
    }
    const std::string key = trim(text.substr(0, equals));
    const std::string value = trim(text.substr(equals + 1));
    if (key == "log") {
        if (scenario_.logPath) {
            return fail("log given twice");
        }
        if (value.empty()) {
            return fail("log needs a path");
        }
        scenario_.logPath = value;
        return true;
    }
    if (key == "wire_ms") {
        if (module_ != nullptr) {
            return fail("wire_ms is a bus key, before any [module]");
        }
        if (wireSeen_) {
            return fail("wire_ms given twice");
        }
        wireSeen_ = true;
        return numberInto(value, 0, 1000, scenario_.wireMs);
    }
    if (module_ == nullptr) {
        return fail("'" + key + "' outside a [module] section");
    }
    const bool repeatable = key == "config" || key == "point" || key == "at" || key == "fault";
    if (!repeatable && !seen_.insert(key).second) {
        return fail("'" + key + "' given twice");
    }
    return moduleKey(key, value);
}

bool Parser::moduleKey(const std::string& key, const std::string& value) {
    ModuleConfig& m = *module_;
    if (key == "serial") {
        m.usbSerial = value;
        return true;
    }
    if (key == "location") {
        m.location = value;
        return true;
    }
    if (key == "info_serial") {
        m.infoSerial = value;
        infoSerialSet_ = true;
        return true;
    }
    if (key == "product") {
        m.productString = value;
    } else if (key == "type") {
        m.typeText = value;
    } else if (key == "firmware") {
        m.firmwareVersion = value;
    } else if (key == "info_name") {
        m.infoName = value;
    } else if (key == "hardware") {
        m.hardwareVersion = value;
    } else if (key == "pid") {
        return numberInto(value, 0, 0xFFFF, m.applicationPid);
    } else if (key == "boot_pid") {
        return numberInto(value, 0, 0xFFFF, m.bootloaderPid);
    } else if (key == "flags") {
        return numberInto(value, INT32_MIN, UINT32_MAX, m.deviceFlags);
    } else if (key == "watchdog_time") {
        return numberInto(value, 0, UINT32_MAX, m.watchdogTime);
    } else if (key == "watchdog_reset") {
        return flag(value, m.watchdogReset);
    } else if (key == "info_damaged") {
        return flag(value, m.infoDamaged);
    } else if (key == "command5") {
        return flag(value, m.answersConfigCommand);
    } else if (key == "busy") {
        return flag(value, m.busy);
    } else if (key == "bootloader") {
        return flag(value, m.startInBootloader);
    } else if (key == "restart_ms") {
        return numberInto(value, 0, 3600000, m.restartDelayMs);
    } else if (key == "command_ms") {
        return numberInto(value, 0, 60000, m.commandMs);
    } else if (key == "erase_ms") {
        return numberInto(value, 0, 60000, m.eraseMs);
    } else if (key == "program_ms") {
        return numberInto(value, 0, 60000, m.programMs);
    } else if (key == "hardware_type") {
        return numberInto(value, 0, 255, m.hardwareType);
    } else if (key == "boot_version") {
        const size_t dot = value.find('.');
        return (dot != std::string::npos || fail("boot_version needs the form major.minor")) &&
               numberInto(value.substr(0, dot), 0, 255, m.bootVersionMajor) &&
               numberInto(value.substr(dot + 1), 0, 255, m.bootVersionMinor);
    } else if (key == "config") {
        return configKey(value);
    } else if (key == "point") {
        return pointKey(value);
    } else if (key == "at") {
        return atKey(value);
    } else if (key == "fault") {
        return faultKey(value);
    } else {
        return fail("unknown key '" + key + "'");
    }
    return true;
}

bool Parser::configKey(const std::string& value) {
    configLine_ = line_;
    for (const std::string& word : words(value)) {
        uint8_t code = 0;
        if (!numberInto(word, 0, 255, code)) {
            return false;
        }
        if (module_->ioConfig.size() == kMaxConfigEntries) {
            return fail("more than 255 configuration entries");
        }
        module_->ioConfig.push_back(code);
    }
    return true;
}

bool Parser::pointKey(const std::string& value) {
    const std::vector<std::string> w = words(value);
    if (w.size() != 3) {
        return fail("point needs: type index value");
    }
    PointValue point;
    if (!numberInto(w[0], 0, kTypeCount - 1, point.type) ||
        !numberInto(w[1], 0, kMaxConfigEntries - 1, point.index) ||
        !numberInto(w[2], INT32_MIN, INT32_MAX, point.value)) {
        return false;
    }
    module_->initialValues.push_back(point);
    checks_.push_back({line_, point.type, point.index});
    return true;
}

bool Parser::atKey(const std::string& value) {
    const std::vector<std::string> w = words(value);
    if (w.size() < 2) {
        return fail("at needs: ms action");
    }
    ScriptedAction action;
    if (!numberInto(w[0], 0, INT32_MAX, action.afterMs)) {
        return false;
    }
    const std::string& what = w[1];
    const size_t args = w.size() - 2;
    if (what == "set" && args == 3) {
        action.kind = ScriptedAction::SetPoint;
        if (!numberInto(w[2], 0, kTypeCount - 1, action.type) ||
            !numberInto(w[3], 0, kMaxConfigEntries - 1, action.index) ||
            !numberInto(w[4], INT32_MIN, INT32_MAX, action.value)) {
            return false;
        }
        checks_.push_back({line_, action.type, action.index});
    } else if (what == "error" && args == 1) {
        action.kind = ScriptedAction::ErrorEvent;
        if (!numberInto(w[2], -128, 127, action.value)) {
            return false;
        }
    } else if (what == "state" && args == 0) {
        action.kind = ScriptedAction::StateEvent;
    } else if (what == "unplug" && args == 0) {
        action.kind = ScriptedAction::Unplug;
    } else if (what == "flood" && args == 1) {
        action.kind = ScriptedAction::Flood;
        if (!numberInto(w[2], 1, 60000, action.value)) {
            return false;
        }
    } else {
        return fail("unknown action '" + what +
                    "' or wrong arguments (set T I V, error CODE, state, unplug, flood MS)");
    }
    module_->script.push_back(action);
    return true;
}

bool Parser::faultKey(const std::string& value) {
    static const std::pair<const char*, Fault::Kind> kinds[] = {
        {"no_reply", Fault::NoReply},
        {"late_reply", Fault::LateReply},
        {"bad_preamble", Fault::BadPreamble},
        {"bad_check", Fault::BadCheck},
        {"status", Fault::Status},
        {"vanish", Fault::Vanish},
        {"boot_no_answer", Fault::BootNoAnswer},
        {"boot_wrong_length", Fault::BootWrongLength},
        {"boot_bad_crc", Fault::BootBadCrc},
        {"flash_stuck_byte", Fault::FlashStuckByte},
        {"unplug_after_program", Fault::UnplugAfterProgramFrames},
        {"boot_vanish", Fault::BootVanish},
    };
    const std::vector<std::string> w = words(value);
    if (w.empty()) {
        return fail("fault needs a kind");
    }
    Fault fault;
    bool known = false;
    for (const auto& [name, kind] : kinds) {
        if (w[0] == name) {
            fault.kind = kind;
            known = true;
        }
    }
    if (!known) {
        return fail("unknown fault '" + w[0] + "'");
    }
    const bool boot = fault.kind >= Fault::BootNoAnswer;
    for (size_t i = 1; i < w.size(); ++i) {
        const size_t equals = w[i].find('=');
        const std::string name = w[i].substr(0, equals);
        const std::string number = equals == std::string::npos ? "" : w[i].substr(equals + 1);
        bool ok = false;
        if (name == "count") {
            ok = numberInto(number, 0, INT32_MAX, fault.count);
        } else if (name == "status" && fault.kind == Fault::Status) {
            ok = numberInto(number, -128, 127, fault.status);
        } else if (name == "command" && boot) {
            ok = numberInto(number, 1, 255, fault.bootCommand);
        } else if (name == "command") {
            ok = numberInto(number, 0, 255, fault.command);
        } else if (name == "after") {
            ok = numberInto(number, 0, INT32_MAX, fault.after);
        } else if (name == "writes" && fault.kind <= Fault::Vanish) {
            ok = flag(number, fault.writesOnly);
        } else if (name == "back_ms" &&
                   (fault.kind == Fault::Vanish || fault.kind == Fault::BootVanish)) {
            ok = numberInto(number, 0, 600000, fault.backMs);
        } else {
            return fail("unknown fault option '" + w[i] + "'");
        }
        if (!ok) {
            return false;
        }
    }
    module_->faults.push_back(fault);
    return true;
}

bool Parser::finishModule() {
    if (module_ == nullptr) {
        return true;
    }
    if (!infoSerialSet_) {
        module_->infoSerial = module_->usbSerial.value_or("");
    }
    const bool extended = (module_->deviceFlags & kFlagExtendedLayout) != 0;
    const PointLayout layout = layoutFor(module_->ioConfig, extended);
    // Command 2 has no image offset: a basic module's whole image is its one 27-byte chunk.
    if (!extended && layout.imageLength > msg::BasicChunk) {
        line_ = configLine_;
        return fail("the basic layout holds 27 image bytes, this configuration needs " +
                    std::to_string(layout.imageLength) + " (flags = 1 selects the extended one)");
    }
    for (const PointCheck& check : checks_) {
        if (layout.find(check.type, check.index) == nullptr) {
            line_ = check.line;
            return fail("the module has no point " + std::to_string(check.index) + " of type " +
                        std::to_string(check.type));
        }
    }
    return true;
}

}  // namespace

bool parseScenario(const std::string& text, Scenario& scenario, ScenarioError& error) {
    scenario = Scenario();
    error = ScenarioError();
    Parser parser(scenario, error);
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        if (!parser.line(++number, line)) {
            return false;
        }
    }
    return parser.finish();
}

std::string describe(const ScenarioError& error) {
    return "line " + std::to_string(error.line) + ": " + error.message;
}

}  // namespace tavrik::virt
