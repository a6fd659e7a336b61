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

// One write, as it is made on an engine; it may be made twice (on the shadow, then the engine).
using Write = std::function<Y4_Status(zvsim::SimEngine&)>;

class StateFile {
  public:
    // `path` empty: writes are not persisted.
    StateFile(zvsim::SimEngine& engine, std::string path);

    // Makes the writes together, in order, and gives their statuses. With a file, the batch is
    // tried on the shadow, an engine of the same catalogue that no client reads, its values
    // saved from there in one save, and only then made on the engine; when the save fails the
    // accepted ones are answered 13 and none changes anything.
    std::vector<Y4_Status> Commit(const std::vector<const Write*>& batch);

  private:
    zvsim::SimEngine& m_engine;
    const std::string m_path;
    const std::unique_ptr<zvsim::SimEngine> m_shadow;
};

enum class Saved {
    Yes,
    No,          // `path` is as it was
    NotDurable,  // `path` has the new text, but the directory's fsync failed
};

// Writes `text` to `path` atomically: a temporary file, fsync, rename, fsync of the directory.
// errno is set unless Yes. The environment variable PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC, a seam
// for the tests, makes every fsync of the directory fail with EIO.
Saved WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace pldengined

#endif
