// The replay tests' fixture: a trace written to a temporary directory and replayed in process.
#ifndef ZVPLD_TESTS_REPLAY_FIXTURE_H
#define ZVPLD_TESTS_REPLAY_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "TraceBuilder.h"
#include "sim/ReplayEngine.h"

class Replay : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/pld-replay-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override {
        if (m_engine) m_engine->Close();
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }
    zvsim::ReplayEngine& replay(const TraceBuilder& trace, std::size_t cut = 0) {
        m_engine = zvsim::ReplayEngine::FromFile(trace.Write(m_dir, "t.trace", cut));
        return *m_engine;
    }
    nlohmann::json control(const std::string& command) {
        return nlohmann::json::parse(m_engine->Control(command));
    }
    std::string m_dir;
    std::shared_ptr<zvsim::ReplayEngine> m_engine;
};

#endif
