// The daemon's log: lines on stderr.
#ifndef PLD_ENGINED_LOG_H
#define PLD_ENGINED_LOG_H

namespace pldengined {

// One line on stderr: "pld-engined: " and the message.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace pldengined

#endif
