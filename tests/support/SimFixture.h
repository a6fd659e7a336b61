// A proxy on a simulated engine in the test's process, which moves only when the test moves it,
// and the log lines written meanwhile.
#ifndef ZVPLD_TESTS_SIM_FIXTURE_H
#define ZVPLD_TESTS_SIM_FIXTURE_H

#include "MockEngine.h"
#include "sim/SimEngine.h"

class SimFixture : public ::testing::Test {
  protected:
    explicit SimFixture(zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn()) {
        catalogue.tickMs = 0;  // no generator of its own: only what a test does is delivered
        ZvPldSetEngineFactory([this, catalogue](const char*, const char*, const char*) {
            return engine = std::make_shared<zvsim::SimEngine>(catalogue);
        });
        proxy = std::make_unique<ZvPldProxy>("sim", "sim-test");
    }
    ~SimFixture() override { ZvPldSetEngineFactory(nullptr); }

    std::shared_ptr<zvsim::SimEngine> engine;
    LogCapture log;
    std::unique_ptr<ZvPldProxy> proxy;
};

#endif
