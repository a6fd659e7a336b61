// The control commands' decoder: every verb's fields in one table, checked before anything is
// done, so that a refused command changes nothing.
#include "Command.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

namespace zvsim {
namespace {

using nlohmann::json;

enum class Type {
    Int,     // a JSON integer within [lo, hi]
    Number,  // any finite JSON number
    Name,    // a control's name: 1 to 64 of A-Z a-z 0-9 . _ -
    Choice,  // one of the words in `choices`, separated by '|'
    Value,   // a finite number or a text of at most 255 characters
};

struct Field {
    const char* key;
    Type type;
    bool required;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    const char* choices = "";
};

constexpr std::int64_t kU16 = 65535;
constexpr std::int64_t kU32 = 4294967295;
constexpr std::int64_t kDayMs = 86400000;
constexpr std::size_t kMaxText = 64 * 1024;

const Field kDevice{"device", Type::Int, true, 0, kU16};
const Field kAnyDevice{"device", Type::Int, false, 0, kU16};
const Field kPoint{"point", Type::Int, true, 0, kU32};
const Field kModule{"module", Type::Int, false, 0, kU16};
const Field kName{"name", Type::Name, false};

struct VerbRule {
    const char* word;
    Verb verb;
    std::vector<Field> fields;
};

const std::vector<VerbRule>& verbs() {
    static const std::vector<VerbRule> table = {
        {"offline", Verb::Offline, {kDevice}},
        {"online", Verb::Online, {kDevice}},
        {"fail",
         Verb::Fail,
         {kDevice,
          kPoint,
          {"status", Type::Int, true, 1, kU16},
          {"on", Type::Choice, false, 0, 0, "reads|writes|both"},
          {"count", Type::Int, false, 1, kU32},
          kName}},
        {"delay",
         Verb::Delay,
         {{"ms", Type::Int, false, 0, 600000},
          {"min_ms", Type::Int, false, 0, 600000},
          {"max_ms", Type::Int, false, 0, 600000},
          kAnyDevice,
          kName}},
        {"stall", Verb::Stall, {kAnyDevice, kName}},
        {"release", Verb::Release, {}},
        {"plant",
         Verb::Plant,
         {kDevice,
          kPoint,
          kModule,
          {"signal", Type::Choice, true, 0, 0, "ramp|sine|noise|step|triangle"},
          {"min", Type::Number, true},
          {"max", Type::Number, true},
          {"period_ms", Type::Int, true, 1, kDayMs},
          {"update_ms", Type::Int, false, 10, kDayMs},
          {"steps", Type::Int, false, 2, 1000},
          kName}},
        {"set", Verb::Set, {kDevice, kPoint, kModule, {"value", Type::Value, true}}},
        {"burst", Verb::Burst, {kDevice, kPoint, kModule, {"count", Type::Int, true, 1, 10000}}},
        {"pld_count", Verb::PldCount, {}},
        {"notify",
         Verb::Notify,
         {{"action", Type::Choice, true, 0, 0, "drop|repeat"},
          {"kind", Type::Choice, false, 0, 0, "value|event|pld"},
          {"count", Type::Int, false, 1, 1000000},
          kName}},
        {"event",
         Verb::Event,
         {{"id", Type::Int, true, 0, kU32}, {"state", Type::Int, true, 0, kU16}}},
        {"report_parent",
         Verb::ReportParent,
         {kDevice,
          {"report", Type::Int, true, 0, kU32},
          {"parent", Type::Int, true, 0, kU32},
          kModule}},
        {"clear", Verb::Clear, {{"name", Type::Name, true}}},
        {"restart", Verb::Restart, {}},
        {"reset", Verb::Reset, {{"seed", Type::Int, false, 0, INT64_MAX}}},
        {"status", Verb::Status, {}},
    };
    return table;
}

bool isName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (const char c : s) {
        const bool word =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!(word || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

bool isChoice(const std::string& word, const char* choices) {
    for (const char* at = choices;;) {
        const char* bar = std::strchr(at, '|');
        const std::size_t n = bar != nullptr ? static_cast<std::size_t>(bar - at) : std::strlen(at);
        if (word.size() == n && word.compare(0, n, at, n) == 0) return true;
        if (bar == nullptr) return false;
        at = bar + 1;
    }
}

std::string range(const Field& f) {
    return std::to_string(f.lo) + ".." + std::to_string(f.hi);
}

// What is wrong with one field's value, or "".
std::string checkField(const Field& f, const json& v) {
    const std::string what = std::string(f.key) + ": ";
    switch (f.type) {
        case Type::Int: {
            if (!v.is_number_integer()) return what + "an integer " + range(f) + " is needed";
            // Non-negative integers are kept unsigned, negative ones signed; every lo is >= 0.
            const bool fits = v.is_number_unsigned()
                                  ? v.get<std::uint64_t>() >= static_cast<std::uint64_t>(f.lo) &&
                                        v.get<std::uint64_t>() <= static_cast<std::uint64_t>(f.hi)
                                  : v.get<std::int64_t>() >= f.lo && v.get<std::int64_t>() <= f.hi;
            if (!fits) return what + "out of range " + range(f);
            return "";
        }
        case Type::Number:
            if (!v.is_number() || !std::isfinite(v.get<double>()))
                return what + "a number is needed";
            return "";
        case Type::Name:
            if (!v.is_string() || !isName(v.get<std::string>())) {
                return what + "1 to 64 letters, digits, '.', '_' or '-' are needed";
            }
            return "";
        case Type::Choice:
            if (!v.is_string() || !isChoice(v.get<std::string>(), f.choices)) {
                return what + "one of " + f.choices + " is needed";
            }
            return "";
        case Type::Value:
            if (v.is_number() && std::isfinite(v.get<double>())) return "";
            if (v.is_string() && v.get<std::string>().size() <= 255) return "";
            return what + "a number, or a text of at most 255 characters, is needed";
    }
    return what + "not understood";
}

template <class T>
T get(const json& o, const char* key, T otherwise) {
    const auto at = o.find(key);
    return at == o.end() ? otherwise : at->get<T>();
}

std::string d(std::uint64_t n) {
    return std::to_string(n);
}

// Checks the fields against the verb's table, then fills `c` and the defaults into `o`.
std::string decode(json& o, Command& c) {
    if (!o.is_object()) return "a command is a JSON object";
    const auto verbAt = o.find("do");
    if (verbAt == o.end() || !verbAt->is_string()) return "do: the command's verb is needed";
    const std::string word = verbAt->get<std::string>();
    const VerbRule* rule = nullptr;
    for (const VerbRule& s : verbs()) rule = word == s.word ? &s : rule;
    if (rule == nullptr) return "do: unknown verb \"" + word.substr(0, 40) + "\"";
    for (const auto& [key, value] : o.items()) {
        if (key == "do") continue;
        const Field* field = nullptr;
        for (const Field& f : rule->fields) field = key == f.key ? &f : field;
        if (field == nullptr) return word + ": unknown field \"" + key.substr(0, 40) + "\"";
        if (std::string e = checkField(*field, value); !e.empty()) return word + ": " + e;
    }
    for (const Field& f : rule->fields) {
        if (f.required && !o.contains(f.key)) return word + ": missing field \"" + f.key + "\"";
    }

    c = Command{};
    c.verb = rule->verb;
    c.hasDevice = o.contains("device");
    c.device = get<std::uint16_t>(o, "device", 0);
    c.point = get<std::uint32_t>(o, "point", 0);
    if (rule->verb == Verb::Plant || rule->verb == Verb::Set || rule->verb == Verb::Burst ||
        rule->verb == Verb::ReportParent) {
        o["module"] = c.module = get<std::uint16_t>(o, "module", 0);
    }
    const std::string device = c.hasDevice ? d(c.device) : "all";
    std::string name;
    switch (rule->verb) {
        case Verb::Fail: {
            c.status = get<std::uint32_t>(o, "status", 0);
            const std::string on = get<std::string>(o, "on", "both");
            o["on"] = on;
            c.reads = on != "writes";
            c.writes = on != "reads";
            c.count = get<std::uint64_t>(o, "count", 0);
            name = "fail-" + device + "-" + d(c.point);
            break;
        }
        case Verb::Delay: {
            const bool fixed = o.contains("ms");
            if (fixed == (o.contains("min_ms") || o.contains("max_ms")) ||
                (!fixed && !(o.contains("min_ms") && o.contains("max_ms")))) {
                return "delay: either ms, or min_ms and max_ms, is needed";
            }
            c.minMs = get<std::uint32_t>(o, fixed ? "ms" : "min_ms", 0);
            c.maxMs = get<std::uint32_t>(o, fixed ? "ms" : "max_ms", 0);
            if (c.minMs > c.maxMs) return "delay: min_ms is above max_ms";
            name = "delay-" + device;
            break;
        }
        case Verb::Stall:
            name = "stall-" + device;
            break;
        case Verb::Plant: {
            const std::string signal = o.at("signal").get<std::string>();
            const char* const words[] = {"ramp", "sine", "noise", "step", "triangle"};
            for (int i = 0; i < 5; ++i) {
                if (signal == words[i]) c.signal = static_cast<Signal>(i);
            }
            c.min = o.at("min").get<double>();
            c.max = o.at("max").get<double>();
            if (c.min > c.max) return "plant: min is above max";
            c.periodMs = o.at("period_ms").get<std::uint32_t>();
            o["update_ms"] = c.updateMs = get<std::uint32_t>(o, "update_ms", 500);
            c.steps = get<std::uint32_t>(o, "steps", 0);
            if ((c.signal == Signal::Step) != (c.steps != 0)) {
                return "plant: steps (2..1000) is needed for a step signal, and only for it";
            }
            name = "plant-" + d(c.device) + "-" + d(c.point) + "-" + d(c.module);
            break;
        }
        case Verb::Set: {
            const json& v = o.at("value");
            c.valueIsText = v.is_string();
            if (c.valueIsText) {
                c.text = v.get<std::string>();
            } else {
                c.number = v.get<double>();
            }
            break;
        }
        case Verb::Burst:
            c.count = o.at("count").get<std::uint64_t>();
            break;
        case Verb::Notify: {
            c.repeat = o.at("action").get<std::string>() == "repeat";
            const std::string kind = get<std::string>(o, "kind", "any");
            c.kind = kind == "value"   ? NotifyKind::Value
                     : kind == "event" ? NotifyKind::Event
                     : kind == "pld"   ? NotifyKind::Pld
                                       : NotifyKind::Any;
            o["count"] = c.count = get<std::uint64_t>(o, "count", 1);
            name = std::string("notify-") + (c.repeat ? "repeat-" : "drop-") + kind;
            break;
        }
        case Verb::Event:
            c.eventId = o.at("id").get<std::uint32_t>();
            c.state = o.at("state").get<std::uint16_t>();
            break;
        case Verb::ReportParent:
            c.report = o.at("report").get<std::uint32_t>();
            c.parent = o.at("parent").get<std::uint32_t>();
            break;
        case Verb::Clear:
            c.name = o.at("name").get<std::string>();
            break;
        case Verb::Reset:
            c.hasSeed = o.contains("seed");
            c.seed = get<std::uint64_t>(o, "seed", 0);
            break;
        default:
            break;
    }
    if (!name.empty()) {
        c.name = get<std::string>(o, "name", name);
        o["name"] = c.name;
    }
    c.params = o.dump();
    return "";
}

}  // namespace

std::string DecodeCommand(const std::string& text, Command& command) {
    try {
        if (text.size() > kMaxText) return "a command is at most 65536 bytes";
        json o = json::parse(text);
        return decode(o, command);
    } catch (const json::parse_error&) {
        return "a command is one JSON object: this is not JSON";
    } catch (const std::exception& e) {
        return std::string("command not understood: ") + e.what();
    }
}

std::string CheckCommand(const std::string& commandJson) {
    Command command;
    return DecodeCommand(commandJson, command);
}

}  // namespace zvsim
