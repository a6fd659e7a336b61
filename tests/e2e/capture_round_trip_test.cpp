// `pldctl capture` of an engine, loaded by the simulated engine and captured again: the same file,
// and the same answers to a client as the engine captured; in process and through the daemon.
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "Transcript.h"
#include "ZvPldTrace.h"

namespace {

using nlohmann::json;

// What a capture must keep: an offline device, a point whose values fail with a status, a report
// without an ancestor record, a report module named as a parent, an enumeration of two modules,
// a text point, a number above 2^31, a group with no active event, a piece size of its own, and
// the last GddId a capture through the daemon probes by default.
const char* const kRough = R"({"tickMs": 0, "activeEvents": {"pieceSize": 5},
  "devices": [
    {"index": 2, "maxAncestors": 1, "fdmVersion": "FDM 1.2",
     "productIdentity": {"ids": [1, 2], "revision": 4},
     "points": [
       {"gddId": 7, "label": "Mode", "type": "enum", "access": "rw", "enumType": 3,
        "states": [{"value": 0, "name": "Off"}, {"value": 4, "name": "Auto"}], "values": [4, 0],
        "report": 71},
       {"gddId": 8, "label": "Site", "description": "Where it stands", "type": "text",
        "values": ["Hall B"], "report": 72},
       {"gddId": 9, "label": "Flow", "type": "uint", "normFactor": 100, "uomId": 5,
        "units": ["l/h"], "values": [3000000000], "fails": 5, "report": 70},
       {"gddId": 2047, "label": "Count", "type": "uint", "dataType": 7, "arrayDim": 3,
        "values": [12]}],
     "reports": [{"gddId": 70, "labels": ["Circuit 1", "Circuit 2"], "auxValue": 9},
                 {"gddId": 71, "labels": ["Mixer"], "auxValue": 3,
                  "parent": {"gddId": 70, "module": 1}},
                 {"gddId": 72, "labels": ["Statistics"], "ancestorRecord": false}]},
    {"index": 5, "offline": true,
     "points": [{"gddId": 1, "label": "Humidity", "type": "uint", "values": [45], "report": 50}],
     "reports": [{"gddId": 50, "labels": ["Sensor"]}]}],
  "events": [{"id": 4, "group": 2, "device": 2, "state": 1},
             {"id": 6, "group": 9, "state": 0}]})";

struct Catalogue {
    const char* name;
    const char* text;  // null: the built-in one
};
void PrintTo(const Catalogue& c, std::ostream* out) {
    *out << c.name;
}

class Capture : public DaemonFixture, public ::testing::WithParamInterface<Catalogue> {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        if (GetParam().text != nullptr) std::ofstream(m_dir + "/catalogue.json") << GetParam().text;
    }
    // pldctl's capture of `engine` into the test's file `name`; its text, "" when it failed.
    std::string capture(const std::string& engine, const std::string& name) {
        Process& p = spawn(PLDCTL_LAUNCH, {"--engine", engine, "capture", "--out", m_dir + name});
        EXPECT_EQ(p.exitStatus(60000), 0) << log();
        return contents(m_dir + name);
    }
    zvsim::Catalogue source() const {
        return GetParam().text ? zvsim::Catalogue::FromJson(GetParam().text)
                               : zvsim::Catalogue::BuiltIn();
    }
    std::string sourceEngine() const {
        return GetParam().text ? "sim:" + m_dir + "/catalogue.json" : "sim";
    }
};

TEST_P(Capture, LoadedAndCapturedAgainGivesTheSameFileAndTheSameAnswers) {
    const std::string first = capture(sourceEngine(), "/first.json");
    ASSERT_NE(first, "");
    EXPECT_EQ(capture("sim:" + m_dir + "/first.json", "/second.json"), first);
    EXPECT_EQ(log(), "");  // on a pipe, no progress; and no answer that a catalogue cannot hold
    EXPECT_EQ(Transcript("sim:" + m_dir + "/first.json", source()),
              Transcript(sourceEngine(), source()));
}

const Catalogue kBuiltIn{"BuiltIn", nullptr}, kRoughOne{"Rough", kRough};
std::string nameOf(const ::testing::TestParamInfo<Catalogue>& info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Catalogues, Capture, ::testing::Values(kBuiltIn, kRoughOne), nameOf);

class CaptureRough : public Capture {};
INSTANTIATE_TEST_SUITE_P(Catalogue, CaptureRough, ::testing::Values(kRoughOne), nameOf);

TEST_P(CaptureRough, KeepsWhatNoDefaultGivesAndTheDaemonAnswersTheSame) {
    // Not const: a field missing reads as null rather than abort.
    json first = json::parse(capture(sourceEngine(), "/first.json"));
    EXPECT_EQ(first["activeEvents"], json::parse(R"({"pieceSize": 5, "delivery": "thread"})"));
    json& device = first["devices"][0];
    EXPECT_EQ(device["points"][2]["fails"], 5) << device;
    EXPECT_EQ(device["reports"][2]["ancestorRecord"], false) << device;
    EXPECT_EQ(device["reports"][1]["parent"], json::parse(R"({"gddId": 70, "module": 1})"));
    EXPECT_EQ(first["devices"][1]["offline"], true);
    // Group 9's inactive event is told by its group alone: it takes an id after the active ones.
    EXPECT_EQ(first["events"], json::parse(R"([{"id": 4, "group": 2, "state": 1},
                                               {"id": 5, "group": 9, "state": 0}])"));

    // No engine yet: said on stderr, and no file written.
    Process& none = spawn(PLDCTL_LAUNCH, {"--engine", m_engine, "capture", "--out", m_dir + "/no"});
    EXPECT_EQ(none.exitStatus(60000), 3);
    EXPECT_TRUE(logged("pldctl: engine not reachable: cannot connect to the engine at " + m_socket))
        << log();
    EXPECT_NE(::access((m_dir + "/no").c_str(), F_OK), 0);

    ASSERT_NE(daemon(), nullptr) << log();
    EXPECT_EQ(capture(m_engine, "/daemon.json"), contents(m_dir + "/first.json"));
    EXPECT_EQ(Transcript(m_engine, source()), Transcript(sourceEngine(), source()));
}

// A point's module count past 256: the first 256 read, with a note. An --out that is a symbolic
// link: refused, the file it names untouched.
TEST_P(CaptureRough, BoundsTheModulesAndWritesNoLink) {
    json many = json::parse(GetParam().text);
    many["devices"][0]["points"][3]["values"] = std::vector<int>(300, 1);
    std::ofstream(m_dir + "/many.json") << many.dump();
    Process& p = spawn(PLDCTL_LAUNCH, {"--engine", "sim:" + m_dir + "/many.json", "capture",
                                       "--out", m_dir + "/out.json"});
    EXPECT_EQ(p.exitStatus(60000), 1);
    EXPECT_TRUE(logged("capture: device 2 point 2047: 300 modules, the first 256 read")) << log();
    EXPECT_EQ(
        json::parse(contents(m_dir + "/out.json"))["devices"][0]["points"][3]["values"].size(),
        256u);

    std::ofstream(m_dir + "/kept") << "kept";
    ASSERT_EQ(::symlink((m_dir + "/kept").c_str(), (m_dir + "/link").c_str()), 0);
    Process& link =
        spawn(PLDCTL_LAUNCH, {"--engine", sourceEngine(), "capture", "--out", m_dir + "/link"});
    EXPECT_EQ(link.exitStatus(60000), 1);
    EXPECT_TRUE(logged("link: not a regular file")) << log();
    EXPECT_EQ(contents(m_dir + "/kept"), "kept");
}

// An engine whose module counts read 0: each point is kept as failing, noted, and the file is
// written. The engine is the replay of a capture's trace with those counts' statuses set to 0.
TEST_P(CaptureRough, AModuleCountThatReadsNoneKeepsThePointFailing) {
    const std::string trace = m_dir + "/capture.trace";
    Process& traced = spawn(PLDCTL_LAUNCH,
                            {"--engine", sourceEngine(), "capture", "--out", m_dir + "/first.json"},
                            [trace] { ::setenv("ZVPLD_TRACE", trace.c_str(), 1); });
    ASSERT_EQ(traced.exitStatus(60000), 0) << log();
    std::string bytes = contents(trace);
    for (std::size_t at = 32; at + 32 <= bytes.size();) {  // the file's header, then each record
        const auto byte = [&](std::size_t i) {
            return static_cast<unsigned char>(bytes[at + i]);
        };
        if (byte(4) == 1 && byte(5) == static_cast<unsigned char>(zvtrace::Op::GetMaxRprtMMCnt))
            bytes.replace(at + 28, 4, 4, '\0');
        at += 4 + (std::size_t(byte(0)) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3));
    }
    std::ofstream(m_dir + "/none.trace", std::ios::binary) << bytes;
    Process& p = spawn(PLDCTL_LAUNCH, {"--engine", "replay:" + m_dir + "/none.trace", "capture",
                                       "--out", m_dir + "/none.json"});
    EXPECT_EQ(p.exitStatus(60000), 1);
    EXPECT_TRUE(
        logged("capture: device 2 point 9: the module count reads 0, the point kept as failing"))
        << log();
    const json points = json::parse(contents(m_dir + "/none.json"))["devices"][0]["points"];
    EXPECT_EQ(points[2]["fails"], 5) << points;
    EXPECT_EQ(points[3]["fails"], 5) << points;
}

}  // namespace
