// A count of like events (refused connections, evictions) told in the log at most once a second:
// a crowd of clients costs the log one line a second per kind, not one a client, and the events
// after a line are told once their second is over even if no more come. And a budget of lines a
// second for the lines each connection writes.
#ifndef PLD_ENGINED_THROTTLE_H
#define PLD_ENGINED_THROTTLE_H

#include <chrono>
#include <utility>

namespace pldengined {

class Throttle {
  public:
    using Clock = std::chrono::steady_clock;

    // Counts one more event at `now`: the events to tell of, this one included, when a line is
    // due; 0 when it is not (they are told by Withheld, or with the next line).
    unsigned long Count(Clock::time_point now) {
        ++m_count;
        return Withheld(now);
    }
    // The events not told yet, once a second has passed since the last line; else 0.
    unsigned long Withheld(Clock::time_point now) {
        if (m_count == 0 || now < m_next) return 0;
        m_next = now + std::chrono::seconds(1);
        return std::exchange(m_count, 0);
    }

  private:
    unsigned long m_count = 0;
    Clock::time_point m_next;
};

// Lines of one kind written one by one up to a number a second, the rest counted and told in one
// line once their second is over: a few clients' lines read as they always did, and a crowd that
// connects and goes again costs the log that number of lines a second, not some a client.
class LineBudget {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LineBudget(unsigned perSecond) : m_perSecond(perSecond) {}

    // Whether a line may be written at `now`; if not, it is counted as withheld.
    bool Take(Clock::time_point now) {
        if (now >= m_secondEnds) {
            m_secondEnds = now + std::chrono::seconds(1);
            m_written = 0;
        }
        if (m_written < m_perSecond) {
            ++m_written;
            return true;
        }
        ++m_withheld;
        return false;
    }
    // The lines withheld since the last time this told them, once their second is over; else 0.
    unsigned long Withheld(Clock::time_point now) {
        return m_withheld == 0 || now < m_secondEnds ? 0 : std::exchange(m_withheld, 0);
    }
    unsigned PerSecond() const { return m_perSecond; }

  private:
    const unsigned m_perSecond;
    unsigned m_written = 0;
    unsigned long m_withheld = 0;
    Clock::time_point m_secondEnds;
};

}  // namespace pldengined

#endif
