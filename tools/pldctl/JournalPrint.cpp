// `pldctl sim journal` and `sim wait`: the journal's answer printed one line per call, then the
// count and the times' percentiles; and the control connection's deadline for a wait.
#include <cstdio>
#include <string>

#include "Control.h"

namespace pldctl {

using nlohmann::json;

namespace {

std::string ms(const json& v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f ms", v.is_number() ? v.get<double>() : 0.0);
    return buf;
}

}  // namespace

void PrintJournal(const json& answer) {
    for (const json& e : answer.value("entries", json::array())) {
        std::string where;
        for (const char* field : {"device", "point", "module", "aux"}) {
            if (e.contains(field)) where += std::string(" ") + field + " " + e[field].dump();
        }
        const json client = e.value("client", json());
        std::string controls;
        for (const json& c : e.value("controls", json::array())) {
            controls += (controls.empty() ? "  [" : ", ") + c.get<std::string>();
        }
        std::printf(
            "#%s %12s  %s  %s%s  status %s  %s%s\n", e.value("seq", json()).dump().c_str(),
            ms(e.value("at_ms", json())).c_str(),
            client.is_string()
                ? client.get<std::string>().c_str()
                : ("connection " + client.dump() + " (pid " + e.value("pid", json()).dump() + ")")
                      .c_str(),
            e.value("op", "?").c_str(), where.c_str(), e.value("status", json()).dump().c_str(),
            e.contains("ms")     ? ms(e["ms"]).c_str()
            : e.contains("held") ? "held"
                                 : "dropped",
            (controls.empty() ? "" : controls + "]").c_str());
    }
    std::printf(
        "%s matching calls, %zu listed, last #%s\n", answer.value("count", json()).dump().c_str(),
        answer.value("entries", json::array()).size(), answer.value("last", json()).dump().c_str());
    const json times = answer.value("ms", json());
    if (times.is_object()) {
        std::printf("time p50 %s, p95 %s, max %s\n", ms(times["p50"]).c_str(),
                    ms(times["p95"]).c_str(), ms(times["max"]).c_str());
    } else {
        std::printf("time: none answered\n");
    }
}

std::string WaitDeadline(const std::string& engine, const json& command) {
    if (engine.rfind("unix:", 0) != 0) return engine;
    // The daemon answers at the wait's timeout: the connection waits a little longer.
    const long long deadline = command.value("timeout_ms", 0LL) + 2000;
    return engine.substr(0, engine.find('?')) + "?deadline_ms=" + std::to_string(deadline);
}

}  // namespace pldctl
