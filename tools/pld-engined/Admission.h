// The connections in the order they were last active, so that once as many are open as the daemon
// serves, the one idle longest that would lose nothing by it makes room for a new one: a crowd of
// connections that ask nothing does not lock out the clients that come after it.
#ifndef PLD_ENGINED_ADMISSION_H
#define PLD_ENGINED_ADMISSION_H

#include <list>
#include <memory>

#include "Connection.h"

namespace pldengined {

class Admission {
  public:
    void Add(const std::shared_ptr<Connection>& connection);
    // It sent a request: the most recently active.
    void Touch(Connection& connection);
    void Remove(Connection& connection);
    // The connection idle longest whose client loses nothing if it is closed: it registered no
    // notifications, has no request begun, waiting (in its socket too) or answered in part, and
    // no reply held or queued; null when there is none.
    std::shared_ptr<Connection> Idlest();

  private:
    std::list<std::shared_ptr<Connection>> m_byActivity;  // the least recently active first
};

}  // namespace pldengined

#endif
