#include "Controls.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <nlohmann/json.hpp>

namespace zvsim {
namespace {

constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15u;
// Every engine call and every plant update looks through the controls: their number is bounded
// so that a client with control cannot make each call (or the plant's thread) cost without end.
constexpr std::size_t kMaxControls = 256;
// Each plant update is a value change that every client registered for values is sent: the
// plants update at most this many times a second in all (256 plants every 10 ms took the engine
// daemon's one thread to 63 %).
constexpr std::uint64_t kMaxPlantUpdatesPerSecond = 1000;

// The hold of the last engine call on this thread, for the caller that holds answers itself.
thread_local SimEngine::Hold t_hold;

std::chrono::milliseconds times(std::uint32_t ms, std::uint64_t n) {
    return std::chrono::milliseconds(ms) * static_cast<std::int64_t>(n);
}

// sin 2πf for f in [0, 1), folded into [-π/2, π/2] and summed to the a^13 term (error below
// 1e-9). Not libm's: its last bits may differ between platforms, and the target's sin takes an
// instruction that its emulator lacks.
double sineOfPhase(double f) {
    double x = f < 0.5 ? f : f - 1;  // [-0.5, 0.5)
    if (x > 0.25) {
        x = 0.5 - x;
    } else if (x < -0.25) {
        x = -0.5 - x;
    }
    const double a = 2 * M_PI * x;
    double term = a, sum = a;
    for (int n = 1; n <= 6; ++n) {
        term *= -a * a / ((2 * n) * (2 * n + 1));
        sum += term;
    }
    return sum;
}

bool matches(NotifyKind control, NotifyKind kind) {
    return control == NotifyKind::Any || control == kind;
}

}  // namespace

std::uint64_t NextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += kGamma);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::uint64_t GeneratorSeed(std::uint64_t seed, const std::string& name) {
    std::uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
    for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
    std::uint64_t state = seed ^ hash;
    return NextRandom(state);
}

double SignalValue(const Command& plant, std::uint64_t t, std::uint64_t draw) {
    const double span = plant.max - plant.min;
    const double phase = static_cast<double>(t % plant.periodMs) / plant.periodMs;
    switch (plant.signal) {
        case Signal::Ramp:
            return plant.min + span * phase;
        case Signal::Sine:
            return plant.min + span * (1 + sineOfPhase(phase)) / 2;
        case Signal::Triangle:
            return phase < 0.5 ? plant.min + span * 2 * phase : plant.max - span * (2 * phase - 1);
        case Signal::Step: {
            const auto level = std::min<std::uint64_t>(
                plant.steps - 1, static_cast<std::uint64_t>(phase * plant.steps));
            return plant.min + span * static_cast<double>(level) / (plant.steps - 1);
        }
        case Signal::Noise:
            return plant.min + span * static_cast<double>(draw >> 11) / 9007199254740992.0;
    }
    return plant.min;
}

Controls::Controls(std::set<std::uint16_t> catalogueOffline, const VirtualClock& clock)
    : m_catalogueOffline(std::move(catalogueOffline)), m_clock(clock) {}

Controls::~Controls() {
    stopPlants();
}

std::string Controls::add(const Command& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Standing& s : m_controls) {
        if (s.command.name == command.name) {
            return "a control named \"" + command.name + "\" is in force";
        }
    }
    if (m_controls.size() >= kMaxControls)
        return "256 controls are in force, the most there may be";
    if (command.verb == Verb::Plant) {
        // In updates per 1000 s, so that every update_ms adds a whole number.
        std::uint64_t rate = 1000000 / command.updateMs;
        for (const Standing& s : m_controls) {
            if (s.command.verb == Verb::Plant) rate += 1000000 / s.command.updateMs;
        }
        if (rate > kMaxPlantUpdatesPerSecond * 1000) {
            return "plant: the plants would update " + std::to_string(rate / 1000) +
                   " times a second in all, and at most " +
                   std::to_string(kMaxPlantUpdatesPerSecond) +
                   " may; give this one or others a longer update_ms";
        }
    }
    Standing s;
    s.command = command;
    s.left = command.count;
    s.generator = GeneratorSeed(m_seed, command.name);
    s.started = m_clock.Now();
    s.serial = ++m_serial;
    m_controls.push_back(std::move(s));
    refresh();
    m_plantWake.notify_all();
    return "";
}

bool Controls::remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto at = std::find_if(m_controls.begin(), m_controls.end(),
                                 [&](const Standing& s) { return s.command.name == name; });
    if (at == m_controls.end()) return false;
    const bool stall = at->command.verb == Verb::Stall;
    m_controls.erase(at);
    refresh();
    if (stall) releaseLocked();
    return true;
}

void Controls::clear(const std::uint64_t* seed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controls.clear();
    if (seed != nullptr) m_seed = *seed;
    refresh();
    releaseLocked();
}

void Controls::release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controls.remove_if([](const Standing& s) { return s.command.verb == Verb::Stall; });
    refresh();
    releaseLocked();
}

void Controls::releaseHeld() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closings;
    releaseLocked();
}

void Controls::onRelease(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake = std::move(wake);
}

// Every held answer goes out; the wake is called later, by wakeIfReleased.
void Controls::releaseLocked() {
    ++m_epoch;
    m_reported = 0;
    m_wakePending = true;
    m_released.notify_all();
}

void Controls::wakeIfReleased() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_wakePending) return;
        m_wakePending = false;
        wake = m_wake;
    }
    if (wake) wake();
}

void Controls::refresh() {
    bool hold = false, fail = false, notify = false;
    for (const Standing& s : m_controls) {
        hold = hold || s.command.verb == Verb::Delay || s.command.verb == Verb::Stall;
        fail = fail || s.command.verb == Verb::Fail;
        notify = notify || s.command.verb == Verb::Notify;
    }
    m_anyHold = hold;
    m_anyFail = fail;
    m_anyNotify = notify;
}

Y4_Status Controls::failing(std::uint16_t device, std::uint32_t point, bool write) {
    if (!m_anyFail.load()) return kOk;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_controls.begin(); it != m_controls.end(); ++it) {
        const Command& c = it->command;
        if (c.verb != Verb::Fail || c.device != device || c.point != point ||
            !(write ? c.writes : c.reads)) {
            continue;
        }
        const auto status = static_cast<Y4_Status>(c.status);
        NoteControl(c.name);
        if (it->left > 0 && --it->left == 0) {
            m_controls.erase(it);
            refresh();
        }
        return status;
    }
    return kOk;
}

int Controls::deliveries(NotifyKind kind) {
    if (!m_anyNotify.load()) return 1;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_controls.begin(); it != m_controls.end(); ++it) {
        if (it->command.verb != Verb::Notify || !matches(it->command.kind, kind)) continue;
        const int times = it->command.repeat ? 2 : 0;
        if (--it->left == 0) {
            m_controls.erase(it);
            refresh();
        }
        return times;
    }
    return 1;
}

void Controls::hold(int device, bool report) {
    if (!m_anyHold.load()) {
        if (report) t_hold = {};
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint64_t ms = 0;
    bool stalled = false;
    for (Standing& s : m_controls) {
        const Command& c = s.command;
        if (c.hasDevice && c.device != device) continue;
        if (c.verb == Verb::Stall) {
            stalled = true;
            NoteControl(c.name);
        }
        if (c.verb != Verb::Delay) continue;
        NoteControl(c.name);
        // Uniform within [min, max]: the bias of the modulo is below 2^-40 for these ranges.
        const std::uint64_t span = c.maxMs - c.minMs;
        ms += c.minMs + (span > 0 ? NextRandom(s.generator) % (span + 1) : 0);
    }
    // Held by the stalls in force now, and let out once each of them is cleared: a stall added
    // later, or cleared while another one covers the call still, does not change that.
    const std::uint64_t mark = (static_cast<std::uint64_t>(device + 1) << 47) | m_serial;
    if (report) {
        t_hold = {std::chrono::milliseconds(ms), stalled, stalled ? mark : 0, m_epoch};
        m_reported += stalled ? 1 : 0;
        return;
    }
    if (ms == 0 && !stalled) return;
    const std::uint64_t epoch = m_epoch, closings = m_closings;
    const Time deadline = m_clock.Now() + std::chrono::milliseconds(ms);
    ++m_waiting;
    if (stalled) {
        m_released.wait(lock, [&] { return m_closings != closings || !stalledBy(mark); });
    }
    if (ms > 0) {
        const auto end = m_delayEnds.insert(deadline);
        // A release cuts the delay short; a change of the clock wakes it to look again.
        while (m_epoch == epoch && m_clock.Now() < deadline) {
            if (const auto at = m_clock.RealTimeOf(deadline)) {
                m_released.wait_until(lock, *at);
            } else {
                m_released.wait(lock);
            }
        }
        m_delayEnds.erase(end);
        m_released.notify_all();  // an advance waits for the delays it ends
    }
    --m_waiting;
}

SimEngine::Hold Controls::take() {
    const SimEngine::Hold hold = t_hold;
    t_hold = {};
    return hold;
}

bool Controls::holding() {
    return t_hold.delay.count() > 0 || t_hold.stalled;
}

void Controls::holdEntry(std::uint64_t seq) {
    t_hold.journalSeq = seq;
}

bool Controls::released(std::uint64_t stallEpoch) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !stalledBy(stallEpoch);
}

bool Controls::releasedSince(std::uint64_t epoch) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_epoch != epoch;
}

bool Controls::stalledBy(std::uint64_t mark) const {
    const std::uint64_t serial = mark & ((std::uint64_t{1} << 47) - 1);
    const auto device = static_cast<int>(mark >> 47) - 1;
    for (const Standing& s : m_controls) {
        const Command& c = s.command;
        if (c.verb == Verb::Stall && s.serial <= serial && (!c.hasDevice || c.device == device)) {
            return true;
        }
    }
    return false;
}

std::vector<Controls::PlantValue> Controls::duePlants() {
    std::vector<PlantValue> due;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Time now = m_clock.Now();
    for (Standing& s : m_controls) {
        const Command& c = s.command;
        if (c.verb != Verb::Plant) continue;
        if (now < s.started + times(c.updateMs, s.update)) continue;
        // The update of now: one that fell behind is not made up.
        const auto update =
            static_cast<std::uint64_t>((now - s.started) / std::chrono::milliseconds(c.updateMs));
        std::uint64_t draw = s.generator + update * kGamma;
        due.push_back(
            {c.device, c.point, c.module, SignalValue(c, update * c.updateMs, NextRandom(draw))});
        s.update = update + 1;
    }
    m_plantsMoved = due.size();
    return due;
}

bool Controls::startPlants(std::function<void()> run) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_plantThread.joinable()) return true;
    m_runPlants = std::move(run);
    m_plantStop = false;
    try {
        m_plantThread = std::thread([this] { plantLoop(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void Controls::stopPlants() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_plantStop = true;
        m_plantWake.notify_all();
        thread = std::move(m_plantThread);
    }
    if (thread.joinable()) thread.join();
}

void Controls::plantLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_plantStop) {
        const Time next = nextPlantDueLocked();
        const VirtualClock::Reading clock = m_clock.Read();
        // A frozen clock's plants are moved by its advances alone.
        if (next == Time::max() || clock.frozen) {
            m_plantWake.wait(lock);
        } else if (clock.now < next) {
            m_plantWake.wait_until(lock,
                                   m_clock.RealTimeOf(next).value_or(VirtualClock::Real::now()));
        } else {
            m_plantsMoving = true;
            lock.unlock();
            m_runPlants();
            lock.lock();
            m_plantsMoving = false;
            m_plantsSettled.notify_all();
            // However fast the clock runs, the plants make no more updates a second of the
            // host's time than the bound: behind, they skip updates rather than make them up.
            const auto rest = VirtualClock::Real::now() +
                              std::chrono::microseconds(1000000 / kMaxPlantUpdatesPerSecond) *
                                  static_cast<std::int64_t>(m_plantsMoved);
            m_plantWake.wait_until(lock, rest, [&] { return m_plantStop; });
        }
    }
}

Controls::Time Controls::nextPlantDueLocked() const {
    Time next = Time::max();
    for (const Standing& s : m_controls) {
        if (s.command.verb != Verb::Plant) continue;
        next = std::min<Time>(next, s.started + times(s.command.updateMs, s.update));
    }
    return next;
}

Controls::Time Controls::nextPlantDue() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return nextPlantDueLocked();
}

std::uint64_t Controls::plantUpdatesUntil(Time t) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t n = 0;
    for (const Standing& s : m_controls) {
        if (s.command.verb != Verb::Plant || t < s.started) continue;
        const auto last = static_cast<std::uint64_t>((t - s.started) /
                                                     std::chrono::milliseconds(s.command.updateMs));
        n += last + 1 > s.update ? last + 1 - s.update : 0;
    }
    return n;
}

Controls::Time Controls::nextDelayEnd(Time after) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto at = m_delayEnds.upper_bound(after);
    return at == m_delayEnds.end() ? Time::max() : *at;
}

void Controls::endDelays(Time t) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_released.notify_all();
    // Bounded: a thread that the host does not schedule does not hold the advance up for long.
    m_released.wait_for(lock, std::chrono::seconds(1),
                        [&] { return m_delayEnds.empty() || *m_delayEnds.begin() > t; });
}

void Controls::clockChanged() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wakePending = true;
    m_released.notify_all();
    m_plantWake.notify_all();
}

void Controls::settlePlants() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_plantsSettled.wait(lock, [&] { return !m_plantsMoving; });
}

std::uint64_t Controls::seed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seed;
}

std::string Controls::statusFields() const {
    nlohmann::json controls = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Standing& s : m_controls) {
        nlohmann::json entry = nlohmann::json::parse(s.command.params);
        if (s.left > 0) entry["left"] = s.left;
        controls.push_back(std::move(entry));
    }
    return nlohmann::json{
        {"seed", m_seed}, {"controls", std::move(controls)}, {"held", m_waiting + m_reported}}
        .dump();
}

}  // namespace zvsim
