// The delivery of notifications and of the pieces of answers: the connection's reader reads and
// checks each into a Note and queues it; a thread of its own calls the client's capture and
// response functions with them, one at a time, and, while the client holds registrations and
// has no connection, reconnects (a client that only listens makes no call that would).
#ifndef ZV_REMOTE_NOTE_DELIVERY_H
#define ZV_REMOTE_NOTE_DELIVERY_H

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "RemoteConnection.h"
#include "ZvPldEngine.h"

namespace zvremote {

// Notifications and pieces waiting for the delivering thread: past this the daemon is sending
// faster than the client's capture functions take them, and the connection is dropped.
constexpr std::size_t kMaxQueuedBytes = 8u << 20;

class NoteDelivery : public RemoteConnection::Listener {
  public:
    enum Kind { kPld, kEvent, kValue, kKinds };
    struct Registration {
        void (*capture)() = nullptr;  // one of the three capture function types
        void* context = nullptr;
        std::uint16_t regArg = 0;
        // Registered again on each new connection: the daemon took it, or did not answer.
        bool replay = false;
    };

    NoteDelivery() = default;
    NoteDelivery(const NoteDelivery&) = delete;
    NoteDelivery& operator=(const NoteDelivery&) = delete;

    // Starts the delivering thread, which holds `owner` until it ends.
    void Start(RemoteConnection& connection, std::shared_ptr<void> owner);
    // Withdraws everything for good; gives the delivering thread, for Finish.
    std::thread Stop();
    // Joins the thread, or lets it end by itself when called on it.
    void Finish(std::thread delivery) const;

    // The Reg request for `kind`.
    static nlohmann::json RegRequest(Kind kind, std::uint16_t regArg);
    // Puts `registration` in place before its request goes out (the first notification may
    // follow the reply at once), and gives the one it replaced.
    Registration Register(Kind kind, const Registration& registration);
    // After the daemon's status: a registration it took, or did not answer, stays and is sent
    // again on each new connection; one it refused gives way to `before`.
    void Registered(Kind kind, void (*capture)(), bool kept, const Registration& before);
    // The response function of a Process request, in place before the request goes out (pieces
    // come before its reply); gives the request's number.
    std::uint32_t Expect(int (*respond)(ZvCallbackInfo*), void* userData);
    void Forget(std::uint32_t req);
    // Nothing is called out after this returns (UnReg(1)); waits for a function running on
    // another thread.
    void WithdrawAll();

    std::vector<nlohmann::json> Greeting() override;
    void Sending(const nlohmann::json& request, std::uint64_t generation) override;
    bool Receive(const nlohmann::json& message) override;
    void Ended(std::uint64_t generation) override;

    // A notification or piece, read and checked by the reader thread.
    struct Note {
        Kind kind = kPld;
        bool piece = false;
        unsigned long count = 0;
        ZvVEventInfo event{};
        ZvValChgInfo value{};
        std::vector<std::uint16_t> data;
        std::uint32_t req = 0;
        ZvCallbackInfo info{};
        std::vector<char> buf;
        std::size_t Bytes() const { return sizeof(Note) + data.size() * 2 + buf.size(); }
    };

  private:
    struct Answer {
        int (*respond)(ZvCallbackInfo* cbi) = nullptr;
        void* userData = nullptr;
        std::uint64_t generation = 0;  // the connection its request went out on; 0: none yet
    };

    void loop();
    bool reconnectWanted() const;  // m_mutex held
    void clear();                  // m_mutex held

    RemoteConnection* m_connection = nullptr;

    // Taken before the connection's own lock, never after. None is held while a capture or
    // response function runs: it may call straight back into the engine.
    std::mutex m_mutex;  // everything below
    std::condition_variable m_noteReady;
    std::condition_variable m_idle;
    bool m_closed = false;
    std::array<Registration, kKinds> m_regs;
    std::uint32_t m_nextReq = 1;
    std::map<std::uint32_t, Answer> m_answers;
    std::deque<Note> m_notes;
    std::size_t m_noteBytes = 0;  // of m_notes
    bool m_calling = false;       // a capture or response function is running
    std::thread m_thread;
};

}  // namespace zvremote

#endif
