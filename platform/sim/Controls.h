// The simulated engine's standing controls (fail, delay, stall, plant, notify), their seeded
// generators, held answers and the plant's thread.
//
// Locks: the controls' mutex may be taken with the engine's catalogue mutex or a Delivery's
// mutex held, and nothing else is taken or called while it is held but the engine clock's, the
// innermost.
#ifndef ZV_SIM_CONTROLS_H
#define ZV_SIM_CONTROLS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "SimEngine.h"
#include "VirtualClock.h"

namespace zvsim {

// splitmix64: the same numbers from the same state on every platform.
std::uint64_t NextRandom(std::uint64_t& state);
// The seed of a control's own generator, from the engine seed and the control's name.
std::uint64_t GeneratorSeed(std::uint64_t seed, const std::string& name);
// A plant signal's value at `t` ms of its run; `draw` is the noise's number for this update.
double SignalValue(const Command& plant, std::uint64_t t, std::uint64_t draw);

// The engines alive in this process, for SimEngine::Latest().
void RememberEngine(SimEngine* engine);
void ForgetEngine(SimEngine* engine);

class Controls {
  public:
    using Time = VirtualClock::Time;

    // Delays and plants go by the engine's `clock`.
    Controls(std::set<std::uint16_t> catalogueOffline, const VirtualClock& clock);
    ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    const std::set<std::uint16_t>& catalogueOffline() const { return m_catalogueOffline; }

    // A standing control; "" or why it is refused (a name in force).
    std::string add(const Command& command);
    // Removes the control named; false when there is none. A stall's held answers go out.
    bool remove(const std::string& name);
    // Removes every control and releases held answers; reseeds when `seed` is given.
    void clear(const std::uint64_t* seed);
    // Removes every stall and releases held answers.
    void release();
    // Held answers go out (the engine closes); the stalls stay.
    void releaseHeld();
    void onRelease(std::function<void()> wake);
    // Calls the wake if answers were released since the last call; with no lock held.
    void wakeIfReleased();

    // The status a counted-down fail on that point gives, or kOk.
    Y4_Status failing(std::uint16_t device, std::uint32_t point, bool write);
    // How many times the next notification of that kind goes out: 0, 1 or 2.
    int deliveries(NotifyKind kind);

    // An answer of an engine call (device < 0: not about one device): waits out its delay and
    // stall on this thread, or (report) records them for take().
    void hold(int device, bool report);
    static SimEngine::Hold take();
    // Whether the last call on this thread reported a hold; its journal entry, taken with it.
    static bool holding();
    static void holdEntry(std::uint64_t seq);
    bool released(std::uint64_t stallEpoch) const;
    bool releasedSince(std::uint64_t epoch) const;

    struct PlantValue {
        std::uint16_t device;
        std::uint32_t point;
        std::uint16_t module;
        double value;
    };
    // The plants due now, each moved on to its next update.
    std::vector<PlantValue> duePlants();
    // Starts the plant's thread unless it runs: it calls `run` whenever a plant is due.
    bool startPlants(std::function<void()> run);
    void stopPlants();

    // The engine's clock changed: threads waiting out a delay, and the plant's thread, look
    // again, and so does the caller that holds answers itself (its wake is due).
    void clockChanged();
    // Returns once no plant update the plant's thread took before now is still being made.
    // Called with no lock of the engine's held, never on that thread.
    void settlePlants();
    // For an advance: the earliest plant update due; the plant updates due until `t`; the
    // earliest end of a delay that a thread waits out, after `after`; and, the clock at `t`,
    // the delays ending by then waited out (their threads woken and gone on, within 1 s).
    Time nextPlantDue() const;
    std::uint64_t plantUpdatesUntil(Time t) const;
    Time nextDelayEnd(Time after) const;
    void endDelays(Time t);

    std::uint64_t seed() const;
    // {"seed", "controls", "held"} as JSON text, without braces.
    std::string statusFields() const;

  private:
    struct Standing {
        Command command;
        std::uint64_t left = 0;  // fail, notify: calls left; 0: until cleared (fail)
        std::uint64_t generator = 0;
        Time started{0};           // plant
        std::uint64_t update = 0;  // plant: the update due next, from 0
        std::uint64_t serial = 0;  // the order it was added in, from 1
    };
    void releaseLocked();
    // The stall a held answer waits for: a mark (the device + 1, or 0, and the last serial when
    // it was held) that is out once no stall of those covering it then is in force.
    bool stalledBy(std::uint64_t mark) const;
    void refresh();
    void plantLoop();
    Time nextPlantDueLocked() const;

    const std::set<std::uint16_t> m_catalogueOffline;
    const VirtualClock& m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_released;  // held answers: a release
    std::condition_variable m_plantWake;
    std::uint64_t m_seed = 1;
    std::list<Standing> m_controls;   // in the order added
    std::uint64_t m_epoch = 1;        // a release: delays waited out on threads are cut short
    std::uint64_t m_serial = 0;       // of the newest control
    std::uint64_t m_closings = 0;     // Closes: the answers waiting on threads then go out
    std::size_t m_waiting = 0;        // answers waiting on their threads
    std::multiset<Time> m_delayEnds;  // of those, the ones waiting out a delay: when it ends
    std::size_t m_reported = 0;       // stalled answers reported since the last release
    std::function<void()> m_wake;
    bool m_wakePending = false;
    // Fast paths for the engine's calls, kept by refresh().
    std::atomic<bool> m_anyHold{false}, m_anyFail{false}, m_anyNotify{false};
    std::thread m_plantThread;
    std::function<void()> m_runPlants;
    bool m_plantStop = false;
    bool m_plantsMoving = false;  // the plant's thread is making updates, m_mutex not held
    std::condition_variable m_plantsSettled;  // m_plantsMoving fell
    std::size_t m_plantsMoved = 0;            // by the plant thread's last pass
};

}  // namespace zvsim

#endif
