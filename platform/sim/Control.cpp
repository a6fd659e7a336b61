// Run-time control of the simulated engine: each command checked against the catalogue under
// the same lock as its change, so that a refused command changes nothing.
#include <algorithm>
#include <cmath>
#include <exception>

#include <nlohmann/json.hpp>

#include "Controls.h"
#include "Feed.h"

namespace zvsim {
namespace {

constexpr std::size_t kMaxQueuedWork = 100000;

struct Registry {
    std::mutex mutex;
    std::vector<SimEngine*> engines;  // oldest first
};
Registry& registry() {
    static Registry* const all = new Registry;  // an engine may outlive the statics
    return *all;
}

std::string answer(bool ok, const std::string& text) {
    return nlohmann::json{{"ok", ok}, {ok ? "done" : "error", text}}.dump();
}
std::string done(const std::string& text) {
    return answer(true, text);
}
std::string refuse(const std::string& text) {
    return answer(false, text);
}

std::string d(std::uint64_t n) {
    return std::to_string(n);
}
std::string where(const Command& c) {
    return c.hasDevice ? "device " + d(c.device) : "every call";
}
std::string pointName(const Command& c) {
    return "device " + d(c.device) + " point " + d(c.point);
}

// What is wrong with the command's device, point and module in the catalogue, or "".
std::string unknown(const Catalogue& catalogue, const Command& c, bool needPoint, bool needModule) {
    const auto dev = catalogue.devices.find(c.device);
    if (dev == catalogue.devices.end()) return "unknown device " + d(c.device);
    if (!needPoint) return "";
    const auto pnt = dev->second.points.find(c.point);
    if (pnt == dev->second.points.end()) return "unknown point: " + pointName(c);
    if (needModule && c.module >= pnt->second.modules()) {
        return pointName(c) + " has no module " + d(c.module);
    }
    return "";
}

}  // namespace

void RememberEngine(SimEngine* engine) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.engines.push_back(engine);
}

void ForgetEngine(SimEngine* engine) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.engines.erase(std::remove(r.engines.begin(), r.engines.end(), engine), r.engines.end());
}

std::shared_ptr<SimEngine> SimEngine::Latest() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.engines.rbegin(); it != r.engines.rend(); ++it) {
        if (std::shared_ptr<SimEngine> engine = (*it)->weak_from_this().lock()) return engine;
    }
    return nullptr;
}

void SimEngine::SetHolding(Holding holding) {
    m_reportHolds = holding == Holding::Report;
}

SimEngine::Hold SimEngine::TakeHold() {
    return Controls::take();
}

bool SimEngine::StallReleased(std::uint64_t stallEpoch) const {
    return m_controls->released(stallEpoch);
}

bool SimEngine::ReleasedSince(std::uint64_t releases) const {
    return m_controls->releasedSince(releases);
}

void SimEngine::OnRelease(std::function<void()> wake) {
    m_controls->onRelease(std::move(wake));
}

void SimEngine::hold(int device) {
    m_controls->hold(device, m_reportHolds.load());
}

std::string SimEngine::Control(const std::string& text) {
    try {
        Command command;
        const std::string error = DecodeCommand(text, command);
        std::string result = error.empty() ? control(command) : refuse(error);
        m_controls->wakeIfReleased();
        if (error.empty() && m_feed->Wanted()) TellControl(*m_feed, command.params, result);
        return result;
    } catch (const std::exception& e) {
        return refuse(std::string("not done: ") + e.what());
    }
}

std::string SimEngine::control(const Command& c) {
    Controls& controls = *m_controls;
    switch (c.verb) {
        case Verb::Offline:
        case Verb::Online: {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (std::string e = unknown(m_catalogue, c, false, false); !e.empty()) return refuse(e);
            const bool offline = c.verb == Verb::Offline;
            m_catalogue.devices.at(c.device).offline = offline;
            return done("device " + d(c.device) + (offline ? " offline" : " online"));
        }
        case Verb::Fail:
        case Verb::Delay:
        case Verb::Stall:
        case Verb::Notify: {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (c.verb == Verb::Fail || c.hasDevice) {
                const std::string e = unknown(m_catalogue, c, c.verb == Verb::Fail, false);
                if (!e.empty()) return refuse(e);
            }
            if (std::string e = controls.add(c); !e.empty()) return refuse(e);
            std::string what;
            if (c.verb == Verb::Fail) {
                what = pointName(c) + " answers status " + d(c.status) + " to " +
                       (c.reads && c.writes ? "reads and writes"
                        : c.reads           ? "reads"
                                            : "writes") +
                       (c.count > 0 ? ", " + d(c.count) + " times" : ", until cleared");
            } else if (c.verb == Verb::Delay) {
                what = "answers of " + where(c) + " come " + d(c.minMs) +
                       (c.maxMs > c.minMs ? " to " + d(c.maxMs) : "") + " ms later";
            } else if (c.verb == Verb::Stall) {
                what = "answers of " + where(c) + " are held until release";
            } else {
                what = std::string("the next ") + d(c.count) + " notifications are " +
                       (c.repeat ? "repeated" : "dropped");
            }
            return done(what + " (" + c.name + ")");
        }
        case Verb::Release:
            controls.release();
            return done("held answers released, stalls removed");
        case Verb::Plant:
            return plant(c);
        case Verb::Set:
        case Verb::Burst:
            return set(c);
        case Verb::PldCount:
            AnnouncePldCount();
            return done("PLD count " + d(PldCount()));
        case Verb::Event:
            if (SetEventState(c.eventId, c.state) != kOk) {
                return refuse("unknown event " + d(c.eventId));
            }
            return done("event " + d(c.eventId) + " in state " + d(c.state));
        case Verb::ReportParent:
            if (const Y4_Status st = SetReportParent(c.device, c.report, c.parent, c.module);
                st != kOk) {
                return refuse("report_parent: " + std::string(StatusText(st)));
            }
            return done("report " + d(c.report) + " of device " + d(c.device) + " has parent " +
                        d(c.parent));
        case Verb::Clear: {
            // Under m_mutex: a plant that is moving finishes first, and then moves no more.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!controls.remove(c.name)) return refuse("no control named \"" + c.name + "\"");
            return done(c.name + " cleared");
        }
        case Verb::Restart:
            return refuse("restart: only the engine daemon restarts itself");
        case Verb::Reset: {
            if (c.catalogue) return fullReset(c);
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& [index, device] : m_catalogue.devices) {
                device.offline = controls.catalogueOffline().count(index) != 0;
            }
            controls.clear(c.hasSeed ? &c.seed : nullptr);
            m_journal.clear();
            return done("every control removed, seed " + d(controls.seed()));
        }
        case Verb::Status: {
            nlohmann::json offline = nlohmann::json::array();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const auto& [index, device] : m_catalogue.devices) {
                    if (device.offline) offline.push_back(index);
                }
            }
            nlohmann::json status = nlohmann::json::parse(controls.statusFields());
            status["ok"] = true;
            status["offline"] = std::move(offline);
            const VirtualClock::Reading clock = m_clock.Read();
            status["clock"] = {
                {"frozen", clock.frozen},
                {"ms", std::chrono::duration_cast<std::chrono::milliseconds>(clock.now).count()},
                {"speed", clock.speed}};
            return status.dump();
        }
        // The call journal.
        case Verb::Journal:
        case Verb::JournalClear:
        case Verb::Wait:
            return journal(c);
        case Verb::Clock:
            return clock(c);
    }
    return refuse("not understood");
}

std::string SimEngine::plant(const Command& c) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::string e = unknown(m_catalogue, c, true, true); !e.empty()) return refuse(e);
        const Kind kind = m_catalogue.devices.at(c.device).points.at(c.point).kind;
        if (kind != Kind::Int && kind != Kind::UInt) {
            return refuse("plant: " + pointName(c) + " is not a number point");
        }
        if (std::string e = m_controls->add(c); !e.empty()) return refuse(e);
    }
    if (!m_controls->startPlants([this] { runPlants(); })) {
        m_controls->remove(c.name);
        return refuse("plant: no thread for the plant");
    }
    return done(pointName(c) + " module " + d(c.module) + " moves (" + c.name + ")");
}

// `set`, and `burst`: notifications of the value as it is.
std::string SimEngine::set(const Command& c) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::string e = unknown(m_catalogue, c, true, true); !e.empty()) return refuse(e);
    Point& p = m_catalogue.devices.at(c.device).points.at(c.point);
    const std::string at = pointName(c) + " module " + d(c.module);
    if (c.verb == Verb::Burst) {
        // Each one is queued whole until delivered: a client repeating bursts faster than its
        // notifications go out is refused rather than let the queue grow without end.
        if (const std::size_t queued = queuedWork(); queued + c.count > kMaxQueuedWork) {
            return refuse("burst: " + d(queued) + " notifications wait to go out, and at most " +
                          d(kMaxQueuedWork) + " may");
        }
        for (std::uint64_t i = 0; i < c.count; ++i) queueValueChange(c.device, p, c.module);
        return done(d(c.count) + " value changes of " + at);
    }
    if (p.kind == Kind::Text) {
        if (!c.valueIsText) return refuse("set: " + at + " takes a text");
        p.texts[c.module] = c.text;
    } else if (p.kind == Kind::Enum) {
        const auto state = std::find_if(p.states.begin(), p.states.end(), [&](const State& s) {
            return c.valueIsText ? s.name == c.text : s.value == c.number;
        });
        if (state == p.states.end()) return refuse("set: " + at + " has no such state");
        p.values[c.module] = state->value;
    } else {
        if (c.valueIsText) return refuse("set: " + at + " takes a number");
        const double raw = std::round(c.number * p.normFactor);
        p.values[c.module] = static_cast<std::int64_t>(
            std::clamp(raw, static_cast<double>(p.min), static_cast<double>(p.max)));
    }
    queueValueChange(c.device, p, c.module);
    return done(at + " set to " +
                (p.kind == Kind::Text ? p.texts[c.module] : RenderValue(p, p.values[c.module])));
}

}  // namespace zvsim
