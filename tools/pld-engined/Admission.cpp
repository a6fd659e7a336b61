#include "Admission.h"

#include <sys/ioctl.h>

#include <utility>

namespace pldengined {

namespace {

// Bytes the client sent that the loop has not read yet: a request that would go unanswered if the
// connection went now.
bool inputWaiting(int fd) {
    int bytes = 0;
    return ::ioctl(fd, FIONREAD, &bytes) != 0 || bytes > 0;
}

// A message client reconnects on its next call, and a controller asks for control again: such a
// connection can go without its client losing an answer, a notification or a piece.
bool losesNothing(const Connection& c) {
    return !c.closed && c.kinds == 0 && c.answering == 0 && c.decoder.Buffered() == 0 &&
           !c.awaitingCommit && c.held == 0 && !c.StalledSince() && !c.DropReason() &&
           !inputWaiting(c.Fd());
}

}  // namespace

void Admission::Add(const std::shared_ptr<Connection>& connection) {
    connection->activity = m_byActivity.insert(m_byActivity.end(), connection);
    connection->listed = true;
}

void Admission::Touch(Connection& connection) {
    if (!connection.listed) return;
    m_byActivity.splice(m_byActivity.end(), m_byActivity, connection.activity);
}

void Admission::Remove(Connection& connection) {
    if (!std::exchange(connection.listed, false)) return;
    m_byActivity.erase(connection.activity);
}

std::shared_ptr<Connection> Admission::Idlest() {
    // One that cannot go now is put after the others: the next look starts with those not looked
    // at lately, rather than passing the same registered ones again. With none that may go, a
    // look passes over each connection once.
    for (std::size_t looked = m_byActivity.size(); looked > 0; --looked) {
        const std::shared_ptr<Connection> c = m_byActivity.front();
        if (losesNothing(*c)) return c;
        m_byActivity.splice(m_byActivity.end(), m_byActivity, m_byActivity.begin());
    }
    return nullptr;
}

}  // namespace pldengined
