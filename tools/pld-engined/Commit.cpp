// The event loop's writes, committed together after each wait: through the state file, each
// journaled once, with its reply held as its call's hold says.
#include "EventLoop.h"

#include <new>
#include <vector>

#include "Names.h"

namespace pldengined {

void EventLoop::commit() {
    if (m_batch.empty()) return;
    std::vector<BatchedWrite> batch;
    batch.swap(m_batch);
    // Each write's hold is taken as it is made on the engine (the shadow's calls hold nothing).
    std::vector<zvsim::SimEngine::Hold> holds;
    std::vector<char> reached;  // made on the engine
    std::vector<Write> made;
    std::vector<const Write*> writes;
    std::vector<Y4_Status> statuses;
    try {
        holds.resize(batch.size());
        reached.resize(batch.size(), false);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            made.push_back([this, &batch, &holds, &reached, i](zvsim::SimEngine& engine) {
                const Connection& c = *batch[i].connection;
                const zvsim::CallerScope caller({static_cast<std::int32_t>(c.Id()), c.pid});
                if (&engine != &m_engine) return batch[i].write.make(engine);
                reached[i] = true;
                const Y4_Status status = batch[i].write.make(engine);
                holds[i] = engine.TakeHold();
                return status;
            });
        }
        for (const Write& w : made) writes.push_back(&w);
        statuses = m_state.Commit(writes);  // it answers a failure of its own with statuses
    } catch (const std::bad_alloc&) {
        // No write was made. Their connections go, as any request without memory does: left
        // waiting for this commit, they would never be read, timed out or closed again.
        for (const BatchedWrite& w : batch) {
            w.connection->awaitingCommit = false;
            drop(w.connection, "no memory for its write");
        }
        return;
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::shared_ptr<Connection>& c = batch[i].connection;
        c->awaitingCommit = false;
        if (!reached[i]) {  // answered 13 by the daemon: journaled and held as a call would be
            const zvsim::CallerScope caller({static_cast<std::int32_t>(c->Id()), c->pid});
            m_engine.JournalCall(batch[i].write.op, &batch[i].write.pnt, statuses[i]);
            holds[i] = m_engine.TakeHold();
        }
        if (c->closed) {
            m_engine.JournalReplied(holds[i].journalSeq, true);
            continue;
        }
        try {
            batch[i].reply[zvwire::key::kStatus] = statuses[i];
            reply(c, ReplyFrame(*c, batch[i].request, batch[i].reply), holds[i]);
        } catch (const std::bad_alloc&) {
            m_engine.JournalReplied(holds[i].journalSeq, true);
            drop(c, "no memory for its reply");
            continue;
        }
        m_ready.push_back(c);  // its next frames, already read
    }
}

}  // namespace pldengined
