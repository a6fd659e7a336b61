// The proxy against the simulated engine: the device engine's habits that a mock does not show,
// its delivering thread, and many client threads at once.
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <thread>

#include "MockEngine.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::ThrowsMessage;

namespace {

// What the client's callbacks saw.
struct Seen {
    unsigned long id;  // count, eventId or valueId
    std::vector<std::uint16_t> data;
    void* context;
    bool onEngineThread;
    bool operator==(const Seen& o) const {
        return id == o.id && data == o.data && context == o.context &&
               onEngineThread == o.onEngineThread;
    }
};
void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{" << s.id << ", " << s.data.size() << " units, ctx " << s.context
        << (s.onEngineThread ? ", engine thread}" : "}");
}

std::thread::id g_testThread;
std::mutex g_seenMutex;  // the PLD-count callback runs on the engine's thread
std::vector<Seen> g_counts, g_events, g_values;

void record(std::vector<Seen>& to, Seen s) {
    s.onEngineThread = std::this_thread::get_id() != g_testThread;
    std::lock_guard<std::mutex> lock(g_seenMutex);
    to.push_back(std::move(s));
}
void onCount(void* context, unsigned long count) {
    record(g_counts, {count, {}, context, false});
}
void onEvent(void* context, const ZvVEventInfo* e) {
    record(g_events, {e->eventId, {e->eventState}, context, false});
}
void onValue(void* context, const ZvValChgInfo* v) {
    record(g_values, {v->valueId, {v->pData, v->pData + v->length}, context, false});
}

int g_context;
constexpr std::uint32_t kEventId = 1;  // changes only on request

class SimulatedEngine : public ::testing::Test {
  protected:
    SimulatedEngine() {
        g_testThread = std::this_thread::get_id();
        ZvPldSetEngineFactory([this](const char* first, const char*, const char*) {
            engine = zvsim::SimEngine::FromClientText(first);
            return engine;
        });
        proxy = std::make_unique<ZvPldProxy>("sim", "integration-test");
    }
    ~SimulatedEngine() override { ZvPldSetEngineFactory(nullptr); }

    // Everything the engine has delivered so far, drained on this thread.
    void drainAll() {
        engine->Flush();
        for (int i = 0; i < 1000; ++i) {
            proxy->CheckEvent();
            proxy->CheckValueChange();
        }
    }

    // A point's report hierarchy as GetHierarchyLists gives it.
    struct Hierarchy {
        int rc;
        std::list<unsigned long> gddIds, auxValues;
        std::list<unsigned short> modules;
    };
    Hierarchy hierarchy(unsigned short device, unsigned short gddId, unsigned short mmIdx) {
        Hierarchy h{};
        h.rc = proxy->GetHierarchyLists(h.auxValues, h.gddIds, h.modules, device, gddId, mmIdx);
        return h;
    }

    std::shared_ptr<zvsim::SimEngine> engine;
    LogCapture log;
    std::unique_ptr<ZvPldProxy> proxy;
};

TEST_F(SimulatedEngine, EveryPointGivesTheReportChainOfTheCatalogue) {
    struct Row {
        unsigned short device, gddId, mmIdx;
        int rc;
        std::list<unsigned long> gddIds, auxValues;
        std::list<unsigned short> modules;
    };
    const Row rows[] = {
        {1, 100, 1, 0, {1021, 1020, 1010, 1000}, {131075, 2, 70000, 1}, {1, 1, 1, 1}},
        {1, 101, 1, 0, {1020, 1010, 1000}, {2, 70000, 1}, {1, 1, 1}},
        {1, 102, 1, 0, {1010, 1000}, {70000, 1}, {1, 1}},
        {1, 103, 1, 4098, {}, {}, {}},  // the engine keeps no ancestor record for report 1030
        {1, 104, 1, 2, {}, {}, {}},     // no report
        {1, 105, 1, 0, {1050}, {5}, {1}},
        {1, 106, 1, 0, {1040, 1000}, {4, 1}, {1, 1}},
        {2, 200, 1, 0, {2010, 2000}, {20, 65536}, {1, 1}},
        {2, 200, 3, 0, {2010, 2000}, {20, 65536}, {3, 1}},
        {2, 201, 1, 2, {}, {}, {}},
        {3, 300, 1, 0, {3000}, {6}, {1}},  // offline, but its catalogue answers
    };
    for (const auto& [index, device] : engine->Snapshot().devices) {
        for (const auto& [gddId, point] : device.points) {
            EXPECT_TRUE(
                std::any_of(std::begin(rows), std::end(rows),
                            [&](const Row& r) { return r.device == index && r.gddId == gddId; }))
                << "no row for device " << index << ", point " << gddId;
        }
    }
    for (const Row& r : rows) {
        const Hierarchy h = hierarchy(r.device, r.gddId, r.mmIdx);
        SCOPED_TRACE(::testing::Message() << "device " << r.device << ", point " << r.gddId);
        EXPECT_EQ(h.rc, r.rc);
        EXPECT_EQ(h.gddIds, r.gddIds);
        EXPECT_EQ(h.auxValues, r.auxValues);
        EXPECT_EQ(h.modules, r.modules);
    }
}

TEST_F(SimulatedEngine, ReportLabelsArriveWholeCutOrRefused) {
    const std::string service = engine->Snapshot().devices.at(1).reports.at(1040).labels[0];
    ASSERT_GT(service.size(), 256u);
    struct Row {
        unsigned short device, gddId, mmIdx;
        int rc;
        std::string label;  // "before": left unchanged
        std::vector<LogLine> log;
    };
    const Row rows[] = {
        {1,
         1040,
         1,
         0,
         service.substr(0, 256),
         {{7, "ZvPldProxy",
           "GetReportLabel: report label was truncated to 256 charactersGddId :1040", 0}}},
        {1,
         1050,
         1,
         2,
         "before",
         {ErrorLine("GetReportLabel - non-ASCII character (C3) in string value - GddId: 1050")}},
        {2, 2010, 3, 0, "Pump 3", {}},
        {2, 2010, 0, 0, "Pump 1", {}},  // the report as a whole
        {2, 2010, 4, 4098, "before", {}},
        {1, 999, 1, 4097, "before", {}},
        {9, 1000, 1, 4096, "before", {}},
    };
    for (const Row& r : rows) {
        std::string label = "before";
        SCOPED_TRACE(::testing::Message() << "device " << r.device << ", report " << r.gddId);
        EXPECT_EQ(proxy->GetReportLabel(label, r.device, r.gddId, r.mmIdx), r.rc);
        EXPECT_EQ(label, r.label);
        EXPECT_EQ(log.take(), r.log);
    }
}

TEST_F(SimulatedEngine, TheAncestorRequestWritesWithinItsBufferAndRefusesOneTooSmall) {
    EXPECT_EQ(engine->GetMaxNmbrAncstrs(1), 4u);
    EXPECT_EQ(engine->GetMaxNmbrAncstrs(9), 0xFFFFFFFFu);
    constexpr std::size_t kNeed = sizeof(ZvPldEngAncestors) + 3 * sizeof(ZvPldEngAncestorEntry);
    for (const std::size_t size : {kNeed - 1, kNeed}) {
        alignas(ZvPldEngAncestors) unsigned char bytes[kNeed + 8];
        std::memset(bytes, 0xA5, sizeof bytes);
        ZvVelRprtDfn rprt{1, 1021, 0, bytes, static_cast<std::uint32_t>(size)};
        EXPECT_EQ(engine->GetRprtAncstr(&rprt), size < kNeed ? zvsim::kBufferTooSmall : 0);
        const std::size_t untouched = size < kNeed ? 0 : kNeed;
        EXPECT_EQ(std::count(bytes + untouched, std::end(bytes), 0xA5), sizeof bytes - untouched);
    }
    ZvVelRprtDfn none{1, 1021, 0, nullptr, 4096};
    EXPECT_EQ(engine->GetRprtAncstr(&none), zvsim::kBufferTooSmall);
}

TEST_F(SimulatedEngine, AReportStructureChangeIsAPldCountAfterWhichTheNewChainIsGiven) {
    proxy->RegisterForPldCountChange(onCount, &g_context, 0);
    EXPECT_EQ(hierarchy(1, 101, 1).gddIds, (std::list<unsigned long>{1020, 1010, 1000}));
    EXPECT_EQ(engine->SetReportParent(1, 1000, 1020, 0), zvsim::kRejected);  // a cycle
    EXPECT_EQ(engine->SetReportParent(1, 1020, 1000, 0), 0);
    engine->Flush();
    EXPECT_THAT(g_counts, ElementsAre(Seen{2, {}, &g_context, true}));
    EXPECT_EQ(hierarchy(1, 101, 1).gddIds, (std::list<unsigned long>{1020, 1000}));
}

TEST_F(SimulatedEngine, TheEnginesRoughTextsReachTheCallerCheckedAndCut) {
    std::string unit = "before", text;
    EXPECT_EQ(proxy->GetUomLabelString(unit, 1, 105, 1, 0, 0), 2);  // a degree sign
    EXPECT_EQ(unit, "before");
    EXPECT_EQ(proxy->GetFullDescriptionString(text, 1, 103, 1, 0), 0);  // engine status 6
    EXPECT_EQ(text, "Burner starts");
    EXPECT_EQ(proxy->GetFullDescriptionString(text, 1, 106, 0xFFFF, 0), 0);  // no NUL sent
    EXPECT_EQ(text.size(), 256u);
    EXPECT_THAT(text, HasSubstr("Service note: the burner"));
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine("GetUomLabelString - non-ASCII character (C2) "
                                                  "in string value - GddId: 105",
                                                  "libZvPldProxy")));
}

TEST_F(SimulatedEngine, AWriteIsReadBackAndItsValueChangeArrivesWithTheNewValue) {
    proxy->RegisterForValueChange(onValue, &g_context, 0);
    EXPECT_EQ(proxy->SetValueString("65.5", 1, 101, 1, 0, 0, 0, nullptr, 0), 0);
    int raw = 0;
    EXPECT_EQ(proxy->GetValueSInt32(&raw, 1, 101, 1, 0, 0, 0), 0);
    EXPECT_EQ(raw, 655);
    EXPECT_EQ(proxy->SetValueUInt32(75, 2, 200, 2, 0, 0, 0, 0), 0);
    drainAll();
    EXPECT_THAT(g_values, Contains(Seen{101, {0, 655}, nullptr, false}));
    EXPECT_THAT(g_values, Contains(Seen{200, {0, 75}, nullptr, false}));
}

TEST_F(SimulatedEngine, PldCountsReachTheCallbackOnTheEnginesThreadAndTheQueue) {
    proxy->RegisterForPldCountChange(onCount, &g_context, 0);
    engine->AnnouncePldCount();
    zvsim::Point fan;
    fan.gddId = 900;
    fan.values = {1};
    EXPECT_EQ(engine->AddPoint(1, fan), 0);
    EXPECT_EQ(engine->RemovePoint(1, 900), 0);
    engine->Flush();
    EXPECT_THAT(g_counts, ElementsAre(Seen{2, {}, &g_context, true}, Seen{3, {}, &g_context, true},
                                      Seen{4, {}, &g_context, true}));
    unsigned long count = 0;
    for (unsigned long want : {2, 3, 4}) {
        EXPECT_TRUE(proxy->CheckPldCount(&count));
        EXPECT_EQ(count, want);
    }
    EXPECT_FALSE(proxy->CheckPldCount(&count));
}

TEST_F(SimulatedEngine, EventChangesAreDrainedOnTheClientsThread) {
    proxy->RegisterForEventChange(onEvent, &g_context, 0);
    EXPECT_EQ(engine->SetEventState(kEventId, 1), 0);
    EXPECT_NE(engine->SetEventState(999999, 1), 0);
    drainAll();
    EXPECT_THAT(g_events, Contains(Seen{kEventId, {1}, nullptr, false}));
}

TEST_F(SimulatedEngine, NothingIsCapturedOnceTheProxyHasStopped) {
    proxy->RegisterForPldCountChange(onCount, &g_context, 0);
    proxy->RegisterForEventChange(onEvent, &g_context, 0);
    proxy->stop_y4IpcToClientProc();
    engine->AnnouncePldCount();
    engine->SetEventState(kEventId, 1);
    drainAll();
    unsigned long count = 0;
    EXPECT_FALSE(proxy->CheckPldCount(&count));
    EXPECT_THAT(g_counts, IsEmpty());
    EXPECT_THAT(g_events, IsEmpty());
}

TEST(SimulatedEngineCatalogue, IsReadFromTheFileTheFirstTextNames) {
    const std::string path = ::testing::TempDir() + "zvpld_catalogue.json";
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [
        {"gddId": 1, "label": "Fan", "type": "enum", "enumType": 1,
         "states": [{"value": 0, "name": "Off"}, {"value": 1, "name": "On"}], "values": [1]}]}]})";
    {
        ZvPldProxy proxy(("sim:" + path).c_str(), "integration-test");
        std::string text;
        EXPECT_EQ(proxy.GetValueString(text, 4, 1, 1, 0, 0, 0, nullptr), 0);
        EXPECT_EQ(text, "On");
    }
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [{"gddId": 1}]}]})";
    EXPECT_THROW(ZvPldProxy(("sim:" + path).c_str(), "x"), std::runtime_error);
    std::remove(path.c_str());
}

TEST(SimulatedEngineCatalogue, RefusesReportsThatDoNotFormTreesWithinTheDevicesMaximum) {
    const std::pair<std::string, std::string> cases[] = {
        {R"("reports": [{"gddId": 5, "labels": []}])", "report 5: a report needs one label"},
        {R"("maxAncestors": 1, "reports": [{"gddId": 5, "labels": ["a"], "parent": {"gddId": 6}}])",
         "report 5: unknown parent report 6"},
        {R"("maxAncestors": 1, "reports": [{"gddId": 5, "labels": ["a"]},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5, "module": 1}}])",
         "report 6: parent report 5 has no module 1"},
        {R"("maxAncestors": 9, "reports": [{"gddId": 5, "labels": ["a"], "parent": {"gddId": 6}},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5}}])",
         "report 5: its ancestors form a cycle"},
        {R"("reports": [{"gddId": 5, "labels": ["a"]},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5}}])",
         "report 6 has 1 ancestors, more than maxAncestors (0)"},
        {R"("reports": [])", "point 1: unknown report 5"},
    };
    for (const auto& [device, problem] : cases) {
        const std::string text =
            R"({"devices": [{"index": 4, "points": [{"gddId": 1, "values": [1], "report": 5}], )" +
            device + "}]}";
        EXPECT_THAT([&] { zvsim::Catalogue::FromJson(text); },
                    ThrowsMessage<std::runtime_error>(HasSubstr("device 4: " + problem)));
    }
}

// Counts the calls that find another call already inside the engine.
class OverlapDetectingEngine : public zvsim::SimEngine {
  public:
    OverlapDetectingEngine() : SimEngine(zvsim::Catalogue::BuiltIn()) {}
    std::atomic<int> overlaps{0};

    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) override {
        return alone([&] { return SimEngine::GetVelPntUint32(pnt, value); });
    }
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                              std::uint16_t setParam) override {
        return alone([&] { return SimEngine::SetVelPntUint32(pnt, value, setParam); });
    }

  private:
    template <class Call>
    Y4_Status alone(Call&& call) {
        if (m_inside.fetch_add(1) != 0) ++overlaps;
        std::this_thread::yield();  // widens the window a second caller would fall into
        const Y4_Status status = call();
        m_inside.fetch_sub(1);
        return status;
    }
    std::atomic<int> m_inside{0};
};

TEST(SimulatedEngineThreads, TheProxyLetsOneCallAtATimeIntoTheEngine) {
    auto engine = std::make_shared<OverlapDetectingEngine>();
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "integration-test");
    constexpr int kThreads = 4, kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&proxy, t] {
            const auto module = static_cast<unsigned short>(t % 3 + 1);
            for (int i = 0; i < kRounds; ++i) {
                unsigned int v = 0;
                EXPECT_EQ(proxy.SetValueUInt32(i % 101, 2, 200, module, 0, 0, 0, 0), 0);
                EXPECT_EQ(proxy.GetValueUInt32(&v, 2, 200, module, 0, 0, 0), 0);
                EXPECT_LE(v, 100u);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(engine->overlaps.load(), 0);
    ZvPldSetEngineFactory(nullptr);
}

}  // namespace
