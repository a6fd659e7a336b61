// The worked example of docs/simulated-engine.md, "In your automated tests": a fixture that puts
// the engine daemon back to its catalogue before each test, and a test that takes a device
// offline, waits for the page's next read of it and verifies how many reads the page made.
#include <thread>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "MockEngine.h"
#include "sim/Controller.h"

using json = nlohmann::json;

namespace {

// The front end under test, as far as the example needs it: each refresh reads the pump's
// speed (device 2, GddId 200) once and shows it, or "no value".
class Page {
  public:
    explicit Page(const std::string& engine) : m_proxy(engine.c_str(), "") {}
    std::string Refresh() {
        std::string text;
        return m_proxy.GetValueString(text, 2, 200, 1, 0, 0, 0, nullptr) == 0 ? text : "no value";
    }

  private:
    ZvPldProxy m_proxy;
};

class PageTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [
            {"index": 1, "points": [{"gddId": 100, "values": [615]}]},
            {"index": 2, "points": [{"gddId": 200, "values": [40]}]}]})";
        ASSERT_TRUE(daemon());
        std::string error;
        // A wait answers within its own timeout: the connection's deadline is longer.
        m_control = zvsim::Controller::Open(m_engine + "?deadline_ms=10000", error, "page-tests");
        ASSERT_TRUE(m_control) << error;
        // Before each test: the catalogue as loaded, no control, an empty journal.
        ASSERT_EQ(send({{"do", "reset"}, {"catalogue", true}})["ok"], true);
    }
    json send(const json& command) { return json::parse(m_control->Send(command.dump())); }

    std::unique_ptr<zvsim::Controller> m_control;
};

TEST_F(PageTest, ShowsNoValueForADeviceTakenOfflineAndReadsItOncePerRefresh) {
    Page page(m_engine);
    EXPECT_EQ(page.Refresh(), "40");
    const json mark = send({{"do", "journal"}, {"limit", 0}});
    ASSERT_EQ(send({{"do", "offline"}, {"device", 2}})["ok"], true);

    std::string shown;
    std::thread timer([&] { shown = page.Refresh(); });  // the page refreshes when it likes
    const json next = send({{"do", "wait"},
                            {"op", "GetVelPntStr"},
                            {"device", 2},
                            {"since", mark["last"]},
                            {"timeout_ms", 5000}});
    timer.join();
    EXPECT_EQ(next["ok"], true) << next;
    EXPECT_EQ(shown, "no value");

    page.Refresh();
    const json reads = send({{"do", "journal"},
                             {"op", "GetVelPntStr"},
                             {"device", 2},
                             {"point", 200},
                             {"since", mark["last"]}});
    EXPECT_EQ(reads["count"], 2) << reads;  // one per refresh, no retry storm
    for (const json& read : reads["entries"]) EXPECT_EQ(read["status"], 1007);  // offline
}

}  // namespace
