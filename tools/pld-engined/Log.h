// The daemon's log: lines on stderr.
#ifndef PLD_ENGINED_LOG_H
#define PLD_ENGINED_LOG_H

#include <string>

namespace pldengined {

// One line on stderr: "pld-engined: " and the message.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A text a client sent, ready for a %s of Log: a NUL in it would end the line there, so it is a
// '?' as every other control character is.
std::string Loggable(std::string text);

}  // namespace pldengined

#endif
