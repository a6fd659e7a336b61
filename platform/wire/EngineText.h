// The message client's first text when it names the engine daemon: "unix:PATH", or
// "unix:PATH?deadline_ms=N" with N from 1 to 3600000 ms; "unix:" with no path names the daemon's
// default socket. The engine calls and the control client read it here, alike, and the daemon
// finds its default socket here: both ends meet without a path on either command line. A text
// that names the daemon but cannot be used is refused whole, never half read (a wrong deadline
// taken for the default would hide the mistake).
#ifndef ZV_ENGINE_TEXT_H
#define ZV_ENGINE_TEXT_H

#include <chrono>
#include <string>

namespace zvwire {

constexpr std::chrono::milliseconds kDefaultDeadline{2000};

// The default socket in words, as the daemon's and the clients' --help give it.
constexpr char kDefaultSocketWords[] =
    "$XDG_RUNTIME_DIR/pld-engined.sock, or without XDG_RUNTIME_DIR "
    "$TMPDIR/pld-engined-UID/engine.sock (/tmp without TMPDIR; UID the user's)";

// The default socket's directory: the user's runtime directory, or else one of the user's own
// in the temporary directory, which the daemon makes and checks before it listens there.
struct DefaultSocket {
    std::string directory;
    bool made = false;  // by the daemon
    std::string Path() const { return directory + (made ? "/engine.sock" : "/pld-engined.sock"); }
};

// From the environment and the effective uid, alike in the daemon and its clients.
DefaultSocket FindDefaultSocket();

struct DaemonText {
    std::string path;  // the socket's
    std::chrono::milliseconds deadline = kDefaultDeadline;
};

// Whether `text` names the daemon ("unix:..."); any other text names an engine of this process.
bool NamesDaemon(const char* text);

// Reads a text that names the daemon into `out`, an empty path as the default socket's. False,
// with why in `error`, when the path is too long for a socket's address, or the deadline is not
// a number of 1 to 3600000 written in decimal digits alone.
bool ReadDaemonText(const std::string& text, DaemonText& out, std::string& error);

}  // namespace zvwire

#endif
