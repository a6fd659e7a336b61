// The points' values kept across restarts: a write reaches the engine only once the values with
// it are on disk, so that a restarted daemon keeps every write it acknowledged.
#ifndef PLD_ENGINED_STATE_FILE_H
#define PLD_ENGINED_STATE_FILE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimEngine.h"

namespace pldengined {

// At most this much is loaded, and a save that would write more fails: a daemon always loads
// what it saved.
constexpr std::size_t kMaxStateBytes = 4 << 20;

// Where the state file is kept: its directory, opened and checked once at the start and held for
// the daemon's life, and its name in it. Every save and the load go through the descriptor, so
// that a name on the way to the directory swapped for a link afterwards leads nowhere.
struct StateLocation {
    std::string path;  // as given; empty: no state is kept
    std::string name;  // in the directory
    int dirFd = -1;
};

// Opens the directory of `path`, one name at a time from the root (or the working directory,
// for a relative path), following no symbolic link on the way, and checks each directory: the
// last must be the daemon's user's and writable by no one else; each before it root's or that
// user's, and writable by no one else unless sticky (as /tmp). Anyone else who could write to a
// directory on the way could put a link in place of the next one and turn the daemon's saves
// onto a file of their choosing. False, with `error` naming the directory, when a check fails.
bool OpenStateDirectory(const std::string& path, StateLocation& at, std::string& error);

// Loads the state file's values into `engine`; true when it does not exist. The file must be a
// regular file (a link is not followed) of at most kMaxStateBytes. False, with `error`, when it
// cannot be loaded; the error names the path and what is wrong, never the content.
bool LoadState(const StateLocation& at, zvsim::SimEngine& engine, std::string& error);

// One write, as it is made on an engine; it may be made twice (on the shadow, then the engine).
using Write = std::function<Y4_Status(zvsim::SimEngine&)>;

class StateFile {
  public:
    // `at.path` empty: writes are not persisted.
    StateFile(zvsim::SimEngine& engine, StateLocation at);

    // Makes the writes together, in order, and gives their statuses. With a file, the batch is
    // tried on the shadow, an engine of the same catalogue that no client reads, its values
    // saved from there in one save, and only then made on the engine; when the save fails the
    // accepted ones are answered 13 and never reach the engine, nor change anything. Every other
    // write is made on the engine, the shadow's refusals too.
    std::vector<Y4_Status> Commit(const std::vector<const Write*>& batch);
    // Saves the engine's values as they are (after a full reset); a failure is logged.
    void Save();

  private:
    // Saves the shadow's values; when that fails, logs it, puts `before` back should the new file
    // have taken the name all the same, and gives false.
    bool save(const std::string& before);

    zvsim::SimEngine& m_engine;
    const StateLocation m_at;
    const std::unique_ptr<zvsim::SimEngine> m_shadow;
};

enum class Saved {
    Yes,
    No,          // the file is as it was
    NotDurable,  // the file has the new text, but the directory's fsync failed
};

// Writes `text` as `name` in the directory `dirFd` atomically: a new file of a name no one can
// foresee, fsync, rename, fsync of the directory. errno is set unless Yes (EFBIG for a text of
// more than kMaxStateBytes). The environment variable PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC, a
// seam for the tests, makes every fsync of the directory fail with EIO.
Saved WriteFileAtomically(int dirFd, const std::string& name, const std::string& text);

}  // namespace pldengined

#endif
