// A count of like events (refused connections, evictions) told in the log at most once a second:
// a crowd of clients costs the log one line a second per kind, not one a client.
#ifndef PLD_ENGINED_THROTTLE_H
#define PLD_ENGINED_THROTTLE_H

#include <chrono>

namespace pldengined {

class Throttle {
  public:
    using Clock = std::chrono::steady_clock;

    // Counts one more event at `now`: the events to tell of, this one included, when a line is
    // due; 0 when it is not (they are told with the next line).
    unsigned long Count(Clock::time_point now) {
        ++m_count;
        if (now < m_next) return 0;
        m_next = now + std::chrono::seconds(1);
        const unsigned long told = m_count;
        m_count = 0;
        return told;
    }

  private:
    unsigned long m_count = 0;
    Clock::time_point m_next;
};

}  // namespace pldengined

#endif
