// The daemon's connections: each client connection's requests answered by the one simulated
// engine, and the engine's notifications fanned out to every connection that registered them.
#ifndef PLD_ENGINED_SERVER_H
#define PLD_ENGINED_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/SimEngine.h"

namespace pldengined {

struct Connection;

class Server {
  public:
    // `statePath` empty: writes are not persisted.
    Server(std::shared_ptr<zvsim::SimEngine> engine, std::string statePath);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Registers the daemon's capture functions with the engine; false if the engine refuses.
    bool Start();
    // Serves a newly accepted socket, which the server owns from here on.
    void Serve(int fd);
    // Joins the threads of connections that have ended.
    void Reap();
    // Closes every connection and withdraws from the engine.
    void Stop();

  private:
    struct PendingAnswer;
    struct PendingWrite;
    using Write = std::function<Y4_Status(zvsim::SimEngine&)>;
    enum Kind : unsigned { kNone = 0, kPld = 1, kEvent = 2, kValue = 4 };

    static void onPldCount(void* context, unsigned long count);
    static void onEvent(void* context, const ZvVEventInfo* info);
    static void onValue(void* context, const ZvValChgInfo* info);
    static int onPiece(ZvCallbackInfo* cbi);

    void fanOut(Kind kind, const nlohmann::json& message);
    void read(const std::shared_ptr<Connection>& connection);
    nlohmann::json answer(const std::shared_ptr<Connection>& connection,
                          const nlohmann::json& request);
    nlohmann::json process(const std::shared_ptr<Connection>& connection,
                           const nlohmann::json& request);
    // A write's status. With a state file the write reaches the engine only once the values
    // with it are on disk: one that cannot be saved is answered 13 and changes nothing.
    Y4_Status write(const Write& apply);
    void commit(const std::vector<PendingWrite*>& batch);
    void forget(PendingAnswer* answer);

    const std::shared_ptr<zvsim::SimEngine> m_engine;
    const std::string m_statePath;
    unsigned m_nextId = 0;

    // Connections that get notifications; a connection leaves when its reader ends.
    std::mutex m_mutex;
    std::vector<std::shared_ptr<Connection>> m_live;
    // Every connection whose threads have not been joined; the main thread's own.
    std::vector<std::shared_ptr<Connection>> m_all;

    // Contexts of answers under way, freed by their last piece or at the stop.
    std::mutex m_answersMutex;
    std::map<PendingAnswer*, std::unique_ptr<PendingAnswer>> m_answers;

    // Group commit: the writes that queue while one batch is saved go together in the next.
    // The batch is tried on the shadow, an engine of the same catalogue that no client reads,
    // and its values saved from there.
    const std::unique_ptr<zvsim::SimEngine> m_shadow;
    std::mutex m_writesMutex;
    std::condition_variable m_committed;
    std::vector<PendingWrite*> m_queued;
    bool m_committing = false;
};

// One line on stderr: "pld-engined: " and the message.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

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
