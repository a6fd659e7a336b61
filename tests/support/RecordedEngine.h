// A simulated engine of the test's own, without a proxy, whose notifications are recorded as
// lines ("v 1/100/0=618" a value change, "e 2=1" an event's state, "p 1" a PLD count): for the
// tests that move it by its clock and reset it.
#ifndef ZVPLD_TESTS_RECORDED_ENGINE_H
#define ZVPLD_TESTS_RECORDED_ENGINE_H

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Seen.h"
#include "sim/SimEngine.h"

class RecordedEngine {
  public:
    explicit RecordedEngine(zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn())
        : engine(std::make_shared<zvsim::SimEngine>(std::move(catalogue))) {
        engine->RegValueChange(&onValue, &m_seen, 0);
        engine->RegVelEvent(&onEvent, &m_seen, 0);
        engine->RegPldCntChng(&onPld, &m_seen, 0);
    }
    ~RecordedEngine() { engine->Close(); }

    nlohmann::json ctl(const std::string& command) {
        return nlohmann::json::parse(engine->Control(command));
    }
    // The notifications since the last call, once every one queued has gone out.
    std::vector<std::string> notes() {
        engine->Flush();
        return m_seen.Take();
    }
    // The raw value of a number point's module, or its status as "rc N".
    std::string value(std::uint16_t device, std::uint32_t point, std::uint16_t module = 0) {
        const ZvVelPntDfn pnt{device, point, module, 0, 0, nullptr, 0};
        std::int32_t v = 0;
        const Y4_Status rc = engine->GetVelPntInt32(&pnt, &v);
        return rc == 0 ? std::to_string(v) : "rc " + std::to_string(rc);
    }

    Seen m_seen;  // before the engine: its captures write here until it closes
    std::shared_ptr<zvsim::SimEngine> engine;

  private:
    static void onValue(void* seen, const ZvValChgInfo* i) {
        const auto raw =
            static_cast<std::int32_t>((std::uint32_t{i->pData[0]} << 16) | i->pData[1]);
        static_cast<Seen*>(seen)->Add("v " + std::to_string(i->deviceIdx) + "/" +
                                      std::to_string(i->valueId) + "/" + std::to_string(i->mmIdx) +
                                      "=" + std::to_string(raw));
    }
    static void onEvent(void* seen, const ZvVEventInfo* i) {
        static_cast<Seen*>(seen)->Add("e " + std::to_string(i->eventId) + "=" +
                                      std::to_string(i->eventState));
    }
    static void onPld(void* seen, unsigned long count) {
        static_cast<Seen*>(seen)->Add("p " + std::to_string(count));
    }
};

#endif
