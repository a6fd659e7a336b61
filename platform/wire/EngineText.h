// The message client's first text when it names the engine daemon: "unix:PATH", or
// "unix:PATH?deadline_ms=N" with N from 1 to 3600000 ms. The engine calls and the control client
// read it here, alike: a text that names the daemon but cannot be used is refused whole, never
// half read (a wrong deadline taken for the default would hide the mistake).
#ifndef ZV_ENGINE_TEXT_H
#define ZV_ENGINE_TEXT_H

#include <chrono>
#include <string>

namespace zvwire {

constexpr std::chrono::milliseconds kDefaultDeadline{2000};

struct DaemonText {
    std::string path;  // the socket's
    std::chrono::milliseconds deadline = kDefaultDeadline;
};

// Whether `text` names the daemon ("unix:..."); any other text names an engine of this process.
bool NamesDaemon(const char* text);

// Reads a text that names the daemon into `out`. False, with why in `error`, when the path is
// empty or too long for a socket's address, or the deadline is not a number of 1 to 3600000
// written in decimal digits alone.
bool ReadDaemonText(const std::string& text, DaemonText& out, std::string& error);

}  // namespace zvwire

#endif
