// The control commands' decoder: one table says each verb's fields, their types and ranges,
// where each goes in the Command, the defaults status lists, a standing control's default name
// and what is checked across fields; the decoder only walks it. Everything is checked before
// anything is done, so that a refused command changes nothing.
#include "Command.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <type_traits>
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
    Bool,    // true or false
};

// Where a checked value goes; `choice` is its word's place in `choices` (Choice only).
using Store = void (*)(Command& c, const json& v, int choice);

// Stores the value in one member of the command, as that member's type.
template <auto Member>
void put(Command& c, const json& v, int) {
    c.*Member = v.get<std::remove_reference_t<decltype(c.*Member)>>();
}

struct Field {
    const char* key;
    Type type;
    bool required;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    const char* choices = "";
    Store store = nullptr;
    const char* fill = nullptr;  // when absent: this JSON value, which status lists too
};

// What is wrong with the whole once each field is right, or "".
using Rule = std::string (*)(const Command& c, const json& o);

struct VerbRule {
    const char* word;
    Verb verb;
    std::vector<Field> fields;
    // A standing control's name when none is given: each {key} is that field's value, or the
    // word after '|' when the field is absent.
    const char* name = nullptr;
    Rule rule = nullptr;
};

constexpr std::int64_t kU16 = 65535;
constexpr std::int64_t kU32 = 4294967295;
constexpr std::int64_t kDayMs = 86400000;
constexpr std::size_t kMaxText = 64 * 1024;

const Field kDevice{"device", Type::Int, true, 0, kU16, "", [](Command& c, const json& v, int) {
                        c.hasDevice = true;
                        c.device = v.get<std::uint16_t>();
                    }};
const Field kAnyDevice{"device", Type::Int, false, 0, kU16, "", kDevice.store};
const Field kPoint{"point", Type::Int, true, 0, kU32, "", put<&Command::point>};
const Field kModule{"module", Type::Int, false, 0, kU16, "", put<&Command::module>, "0"};
const Field kName{"name", Type::Name, false, 0, 0, "", put<&Command::name>};

Field count(bool required, std::int64_t hi, const char* fill = nullptr) {
    return {"count", Type::Int, required, 1, hi, "", put<&Command::count>, fill};
}

// The journal's and wait's filters, then `more`.
std::vector<Field> journalFields(std::vector<Field> more) {
    std::vector<Field> fields = {
        {"op", Type::Choice, false, 0, 0, kOpWords,
         [](Command& c, const json&, int op) {
             c.filter.op = op;
         }},
        {"device", Type::Int, false, 0, kU16, "",
         [](Command& c, const json& v, int) {
             c.filter.hasDevice = true;
             c.filter.device = v.get<std::uint16_t>();
         }},
        {"point", Type::Int, false, 0, kU32, "",
         [](Command& c, const json& v, int) {
             c.filter.hasPoint = true;
             c.filter.point = v.get<std::uint32_t>();
         }},
        // "in-process", or a daemon's connection number; checked whole by clientRule.
        {"client", Type::Value, false, 0, 0, "",
         [](Command& c, const json& v, int) {
             c.filter.hasClient = true;
             c.filter.client = v.is_number_integer() && v.get<std::int64_t>() > 0 &&
                                       v.get<std::int64_t>() <= INT32_MAX
                                   ? v.get<std::int32_t>()
                                   : 0;
         }},
        {"since", Type::Int, false, 0, INT64_MAX, "",
         [](Command& c, const json& v, int) {
             c.filter.since = v.get<std::uint64_t>();
         }},
    };
    fields.insert(fields.end(), more.begin(), more.end());
    return fields;
}

std::string clientRule(const Command&, const json& o) {
    const auto client = o.find("client");
    if (client == o.end() || *client == "in-process") return "";
    if (client->is_number_integer() && client->get<std::int64_t>() >= 1 &&
        client->get<std::int64_t>() <= INT32_MAX) {
        return "";
    }
    return "client: \"in-process\" or a connection number 1..2147483647 is needed";
}

const std::vector<VerbRule>& verbs() {
    static const std::vector<VerbRule> table = {
        {"offline", Verb::Offline, {kDevice}},
        {"online", Verb::Online, {kDevice}},
        {"fail",
         Verb::Fail,
         {kDevice,
          kPoint,
          {"status", Type::Int, true, 1, kU16, "", put<&Command::status>},
          {"on", Type::Choice, false, 0, 0, "reads|writes|both",
           [](Command& c, const json&, int on) {
               c.reads = on != 1;
               c.writes = on != 0;
           },
           "\"both\""},
          count(false, kU32),
          kName},
         "fail-{device|all}-{point}"},
        {"delay",
         Verb::Delay,
         {{"ms", Type::Int, false, 0, 600000, "",
           [](Command& c, const json& v, int) {
               c.minMs = c.maxMs = v.get<std::uint32_t>();
           }},
          {"min_ms", Type::Int, false, 0, 600000, "", put<&Command::minMs>},
          {"max_ms", Type::Int, false, 0, 600000, "", put<&Command::maxMs>},
          kAnyDevice,
          kName},
         "delay-{device|all}",
         [](const Command& c, const json& o) -> std::string {
             const bool fixed = o.contains("ms");
             if (fixed == (o.contains("min_ms") || o.contains("max_ms")) ||
                 (!fixed && !(o.contains("min_ms") && o.contains("max_ms")))) {
                 return "either ms, or min_ms and max_ms, is needed";
             }
             return c.minMs > c.maxMs ? "min_ms is above max_ms" : "";
         }},
        {"stall", Verb::Stall, {kAnyDevice, kName}, "stall-{device|all}"},
        {"release", Verb::Release, {}},
        {"plant",
         Verb::Plant,
         {kDevice,
          kPoint,
          kModule,
          {"signal", Type::Choice, true, 0, 0, "ramp|sine|noise|step|triangle",
           // Signal's order is the words'.
           [](Command& c, const json&, int signal) {
               c.signal = static_cast<Signal>(signal);
           }},
          {"min", Type::Number, true, 0, 0, "", put<&Command::min>},
          {"max", Type::Number, true, 0, 0, "", put<&Command::max>},
          {"period_ms", Type::Int, true, 1, kDayMs, "", put<&Command::periodMs>},
          {"update_ms", Type::Int, false, 10, kDayMs, "", put<&Command::updateMs>, "500"},
          {"steps", Type::Int, false, 2, 1000, "", put<&Command::steps>},
          kName},
         "plant-{device}-{point}-{module}",
         [](const Command& c, const json&) -> std::string {
             if (c.min > c.max) return "min is above max";
             if ((c.signal == Signal::Step) != (c.steps != 0)) {
                 return "steps (2..1000) is needed for a step signal, and only for it";
             }
             return "";
         }},
        {"set",
         Verb::Set,
         {kDevice,
          kPoint,
          kModule,
          {"value", Type::Value, true, 0, 0, "",
           [](Command& c, const json& v, int) {
               c.valueIsText = v.is_string();
               if (c.valueIsText) {
                   c.text = v.get<std::string>();
               } else {
                   c.number = v.get<double>();
               }
           }}}},
        {"burst", Verb::Burst, {kDevice, kPoint, kModule, count(true, 10000)}},
        {"pld_count", Verb::PldCount, {}},
        {"notify",
         Verb::Notify,
         {{"action", Type::Choice, true, 0, 0, "drop|repeat",
           [](Command& c, const json&, int action) {
               c.repeat = action == 1;
           }},
          // Any is the kind when none is chosen, never a choice.
          {"kind", Type::Choice, false, 0, 0, "value|event|pld",
           [](Command& c, const json&, int kind) {
               c.kind = static_cast<NotifyKind>(kind + 1);
           }},
          count(false, 1000000, "1"),
          kName},
         "notify-{action}-{kind|any}"},
        {"event",
         Verb::Event,
         {{"id", Type::Int, true, 0, kU32, "", put<&Command::eventId>},
          {"state", Type::Int, true, 0, kU16, "", put<&Command::state>}}},
        {"report_parent",
         Verb::ReportParent,
         {kDevice,
          {"report", Type::Int, true, 0, kU32, "", put<&Command::report>},
          {"parent", Type::Int, true, 0, kU32, "", put<&Command::parent>},
          kModule}},
        {"clear", Verb::Clear, {{"name", Type::Name, true, 0, 0, "", kName.store}}},
        {"restart", Verb::Restart, {}},
        {"reset",
         Verb::Reset,
         {{"seed", Type::Int, false, 0, INT64_MAX, "",
           [](Command& c, const json& v, int) {
               c.hasSeed = true;
               c.seed = v.get<std::uint64_t>();
           }},
          {"catalogue", Type::Bool, false, 0, 0, "", put<&Command::catalogue>},
          {"keep_values", Type::Bool, false, 0, 0, "", put<&Command::keepValues>}},
         nullptr,
         [](const Command& c, const json& o) -> std::string {
             return o.contains("keep_values") && !c.catalogue
                        ? "keep_values goes only with \"catalogue\": true"
                        : "";
         }},
        {"status", Verb::Status, {}},
        // The call journal: the same filters for both.
        {"journal", Verb::Journal,
         journalFields({{"limit", Type::Int, false, 0, 1000, "", put<&Command::limit>, "100"}}),
         nullptr, clientRule},
        {"journal_clear", Verb::JournalClear, {}},
        {"wait", Verb::Wait,
         journalFields({count(false, 1000000, "1"),
                        {"timeout_ms", Type::Int, true, 1, 600000, "", put<&Command::timeoutMs>}}),
         nullptr, clientRule},
        {"clock",
         Verb::Clock,
         {{"action", Type::Choice, true, 0, 0, "freeze|run|advance",
           // ClockAction's order is the words'.
           [](Command& c, const json&, int action) {
               c.clockAction = static_cast<ClockAction>(action);
           }},
          // A day at most: a longer step would make more than a client should wait for.
          {"ms", Type::Int, false, 1, kDayMs, "", put<&Command::advanceMs>},
          {"speed", Type::Number, false, 0, 0, "", put<&Command::speed>}},
         nullptr,
         [](const Command& c, const json& o) -> std::string {
             const bool advance = c.clockAction == ClockAction::Advance;
             if (advance != o.contains("ms"))
                 return "ms (1..86400000) is needed for advance, and only for it";
             if (o.contains("speed") && c.clockAction != ClockAction::Run) {
                 return "speed goes only with run";
             }
             if (c.speed < 0.001 || c.speed > 1000) return "speed: 0.001 to 1000 is needed";
             return "";
         }},
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

// The word's place among `choices`, or -1.
int choiceOf(const std::string& word, const char* choices) {
    for (int i = 0;; ++i) {
        const char* bar = std::strchr(choices, '|');
        const std::size_t n =
            bar != nullptr ? static_cast<std::size_t>(bar - choices) : std::strlen(choices);
        if (word.size() == n && word.compare(0, n, choices, n) == 0) return i;
        if (bar == nullptr) return -1;
        choices = bar + 1;
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
            if (!v.is_string() || choiceOf(v.get<std::string>(), f.choices) < 0) {
                return what + "one of " + f.choices + " is needed";
            }
            return "";
        case Type::Value:
            if (v.is_number() && std::isfinite(v.get<double>())) return "";
            if (v.is_string() && v.get<std::string>().size() <= 255) return "";
            return what + "a number, or a text of at most 255 characters, is needed";
        case Type::Bool:
            if (v.is_boolean()) return "";
            return what + "true or false is needed";
    }
    return what + "not understood";
}

// The verb's name pattern with each {key} or {key|otherwise} put in from `o`.
std::string nameOf(const char* pattern, const json& o) {
    std::string name;
    for (const char* at = pattern; *at != '\0'; ++at) {
        if (*at != '{') {
            name += *at;
            continue;
        }
        const char* close = std::strchr(at, '}');
        const std::string slot(at + 1, close);
        const std::size_t bar = slot.find('|');
        const auto v = o.find(slot.substr(0, bar));
        if (v == o.end()) {
            name += slot.substr(bar + 1);
        } else {
            name +=
                v->is_string() ? v->get<std::string>() : std::to_string(v->get<std::uint64_t>());
        }
        at = close;
    }
    return name;
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

    for (const Field& f : rule->fields) {
        if (f.fill != nullptr && !o.contains(f.key)) o[f.key] = json::parse(f.fill);
    }
    if (rule->name != nullptr && !o.contains("name")) o["name"] = nameOf(rule->name, o);
    c = Command{};
    c.verb = rule->verb;
    for (const Field& f : rule->fields) {
        const auto v = o.find(f.key);
        if (v == o.end()) continue;
        f.store(c, *v, f.type == Type::Choice ? choiceOf(v->get<std::string>(), f.choices) : 0);
    }
    if (rule->rule != nullptr) {
        if (std::string e = rule->rule(c, o); !e.empty()) return word + ": " + e;
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

std::vector<std::pair<std::string, std::vector<FieldRule>>> CommandRules() {
    std::vector<std::pair<std::string, std::vector<FieldRule>>> rules;
    for (const VerbRule& verb : verbs()) {
        rules.emplace_back(verb.word, std::vector<FieldRule>{});
        for (const Field& f : verb.fields) {
            // Type's order is FieldRule::Kind's.
            rules.back().second.push_back(
                {static_cast<FieldRule::Kind>(f.type), f.key, f.required, f.lo, f.hi, f.choices});
        }
    }
    return rules;
}

}  // namespace zvsim
