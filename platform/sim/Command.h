// The simulated engine's run-time control commands, decoded strictly: docs/simulated-engine.md,
// "Run-time control".
#ifndef ZV_SIM_COMMAND_H
#define ZV_SIM_COMMAND_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Journal.h"
#include "ZvPldEngine.h"

namespace zvsim {

enum class Verb {
    Offline,
    Online,
    Fail,
    Delay,
    Stall,
    Release,
    Plant,
    Set,
    Burst,
    PldCount,
    Notify,
    Event,
    ReportParent,
    Clear,
    Restart,
    Reset,
    Status,
    // The call journal.
    Journal,
    JournalClear,
    Wait,
    Clock,
};

// In the order of the plant verb's signal words, which the decoder counts on.
enum class Signal { Ramp, Sine, Noise, Step, Triangle };

// The kinds of notification; Any only as a notify control's choice. Value, Event and Pld are in
// the order of the notify verb's kind words, which the decoder counts on.
enum class NotifyKind { Any, Value, Event, Pld };

// In the order of the clock verb's action words, which the decoder counts on.
enum class ClockAction { Freeze, Run, Advance };

// One command, its defaults filled in. Only the fields of its verb mean anything.
struct Command {
    Verb verb = Verb::Status;
    std::string name;    // a standing control's name, given or its default; clear: the one named
    std::string params;  // the command as a JSON object with its defaults, as status lists it
    bool hasDevice = false;
    std::uint16_t device = 0;
    std::uint32_t point = 0;
    std::uint16_t module = 0;
    // fail
    std::uint32_t status = 0;
    bool reads = true, writes = true;
    std::uint64_t count = 0;  // fail: 0 until cleared; burst, notify: at least 1
    // delay
    std::uint32_t minMs = 0, maxMs = 0;
    // plant
    Signal signal = Signal::Ramp;
    double min = 0, max = 0;
    std::uint32_t periodMs = 0, updateMs = 500, steps = 0;
    // set: a number in display units, or a text (a state name, or a text point's value)
    bool valueIsText = false;
    double number = 0;
    std::string text;
    // notify
    bool repeat = false;
    NotifyKind kind = NotifyKind::Any;
    // event, report_parent
    std::uint32_t eventId = 0;
    std::uint16_t state = 0;
    std::uint32_t report = 0, parent = 0;
    // reset
    bool hasSeed = false;
    std::uint64_t seed = 0;
    // journal, wait: which calls; how many a journal lists; how long a wait waits (its count is
    // `count`)
    JournalFilter filter;
    std::uint32_t limit = 100;
    std::uint32_t timeoutMs = 0;
    bool catalogue = false;   // back to the catalogue as loaded
    bool keepValues = false;  // with catalogue: the points that stay keep their values
    // clock
    ClockAction clockAction = ClockAction::Freeze;
    std::uint32_t advanceMs = 0;
    double speed = 1;
};

// Decodes one command from JSON text: "" and `command` filled, or the error text (and `command`
// unspecified). Never throws.
std::string DecodeCommand(const std::string& text, Command& command);

// "" when the command is well-formed, else the error text: what the engine would refuse before
// it looks at its catalogue (unknown devices and points are found only by the engine).
ZV_PLD_PLATFORM_API std::string CheckCommand(const std::string& commandJson);

// How the decoder checks one field of a verb, for walking every verb's fields.
struct FieldRule {
    enum Kind { Int, Number, Name, Choice, Value, Bool } kind;
    const char* key;
    bool required;
    std::int64_t lo, hi;  // Int: the range
    const char* choices;  // Choice: the words, separated by '|'
};

// Each verb's word and the rules of its fields, as the decoder's table has them.
ZV_PLD_PLATFORM_API std::vector<std::pair<std::string, std::vector<FieldRule>>> CommandRules();

}  // namespace zvsim

#endif
