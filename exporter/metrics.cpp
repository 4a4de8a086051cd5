#include "metrics.h"

#include <tavrik/tavrik.h>

#include <cstdio>
#include <sstream>

#include "utf8_text.h"

namespace tavrik::exporter {

namespace {

// One sample line; labels are name and raw value pairs, escaped here.
class Writer {
  public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const char* name, const std::vector<std::pair<const char*, std::string>>& labels,
                const std::string& value) {
        out_ << name;
        if (!labels.empty()) {
            out_ << '{';
            const char* sep = "";
            for (const auto& [key, raw] : labels) {
                out_ << sep << key << "=\"" << escapeLabelValue(raw) << '"';
                sep = ",";
            }
            out_ << '}';
        }
        out_ << ' ' << value << '\n';
    }
    std::string text() const { return out_.str(); }

  private:
    std::ostringstream out_;
};

using Labels = std::vector<std::pair<const char*, std::string>>;

Labels moduleLabels(const ModuleSnapshot& m) {
    return {{"serial", m.serial}, {"index", std::to_string(m.listIndex)}};
}

Labels pointLabels(const ModuleSnapshot& m, const PointSnapshot& p) {
    Labels labels = moduleLabels(m);
    labels.emplace_back("type", ioTypeName(p.type));
    labels.emplace_back("point", std::to_string(p.index));
    return labels;
}

Labels portLabels(const ModuleSnapshot& m, const PointSnapshot& p) {
    Labels labels = moduleLabels(m);
    labels.emplace_back("port", std::to_string(p.index));
    return labels;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

}  // namespace

std::string escapeLabelValue(const std::string& value) {
    // UTF-8 first (U+FFFD for each broken sequence), then the three characters the text
    // format escapes; none of them is a byte of a multi-byte sequence.
    const std::string text = validUtf8(value);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string renderMetrics(const Snapshot& s) {
    Writer w;
    w.family("tavrik_up", "gauge", "1 when the module opened and answered, else 0.");
    for (const auto& m : s.modules)
        w.sample("tavrik_up", moduleLabels(m), m.openResult == Ok ? "1" : "0");

    w.family("tavrik_module_info", "gauge",
             "Identity of an open module: name, type text, firmware and hardware versions.");
    for (const auto& m : s.modules) {
        if (m.openResult != Ok)
            continue;
        Labels labels = moduleLabels(m);
        labels.insert(labels.end(), {{"name", m.name},
                                     {"module_type", m.typeText},
                                     {"firmware", m.firmware},
                                     {"hardware", m.hardware}});
        w.sample("tavrik_module_info", labels, "1");
    }

    w.family("tavrik_point_value", "gauge",
             "Value of an IO point; outputs carry relay=\"1\" for a relay output.");
    for (const auto& m : s.modules) {
        for (const auto& p : m.points) {
            Labels labels = pointLabels(m, p);
            if (p.type == Outputs)
                labels.emplace_back("relay", p.relay ? "1" : "0");
            w.sample("tavrik_point_value", labels, std::to_string(p.value));
        }
    }

    w.family("tavrik_poe_class", "gauge", "Class number of a PoE port, from its status word.");
    for (const auto& m : s.modules)
        for (const auto& p : m.points)
            if (p.type == PoeStatus)
                w.sample("tavrik_poe_class", portLabels(m, p),
                         std::to_string(static_cast<uint32_t>(p.value) & kPoeClassMask));

    w.family("tavrik_poe_flag", "gauge", "1 when the flag of a PoE port's status word is set.");
    for (const auto& m : s.modules) {
        for (const auto& p : m.points) {
            if (p.type != PoeStatus)
                continue;
            for (const PoeStatusFlag& flag : poeStatusFlags()) {
                Labels labels = portLabels(m, p);
                labels.emplace_back("flag", flag.word);
                w.sample("tavrik_poe_flag", labels,
                         (static_cast<uint32_t>(p.value) & flag.mask) ? "1" : "0");
            }
        }
    }

    w.family("tavrik_watchdog_time_seconds", "gauge",
             "Watchdog time the module reports, seconds since 1970 (UTC).");
    for (const auto& m : s.modules)
        if (m.openResult == Ok && m.watchdogTime != 0)
            w.sample("tavrik_watchdog_time_seconds", moduleLabels(m),
                     std::to_string(m.watchdogTime));

    if (s.eventCounters) {
        w.family("tavrik_point_changes_total", "counter",
                 "Change events of an IO point while the module was held open.");
        for (const auto& [key, count] : s.pointChanges)
            w.sample("tavrik_point_changes_total",
                     {{"serial", key.serial},
                      {"index", std::to_string(key.listIndex)},
                      {"type", ioTypeName(key.type)},
                      {"point", std::to_string(key.index)}},
                     std::to_string(count));
        w.family("tavrik_error_events_total", "counter",
                 "Error events of a module while it was held open, by result code.");
        for (const auto& [key, count] : s.errorEvents)
            w.sample("tavrik_error_events_total",
                     {{"serial", key.serial},
                      {"index", std::to_string(key.listIndex)},
                      {"code", std::to_string(key.code)},
                      {"message", resultMessage(key.code)}},
                     std::to_string(count));
    }

    w.family("tavrik_exporter_scrape_duration_seconds", "gauge",
             "Time taken to read every module for this scrape.");
    w.sample("tavrik_exporter_scrape_duration_seconds", {}, seconds(s.scrapeSeconds));

    w.family("tavrik_exporter_open_failures_total", "counter",
             "Modules that failed to open, by result code.");
    for (const auto& [code, count] : s.openFailures)
        w.sample("tavrik_exporter_open_failures_total",
                 {{"code", std::to_string(code)}, {"message", resultMessage(code)}},
                 std::to_string(count));
    return w.text();
}

}  // namespace tavrik::exporter
