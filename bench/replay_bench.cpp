// The replay's memory and speed on long traces: traces of 10k and 1M calls over a few hundred
// distinct requests (and a notification every hundred calls) are written, then each is replayed
// in a fresh process of its own, which prints its peak resident memory ("MEMORY <name> <kB>"),
// the records it loads per second and the calls it answers per second ("RATE <name> <n>").
// The peak must not grow with the trace's length: only the distinct requests are kept.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ZvPldTrace.h"
#include "sim/ReplayEngine.h"

namespace {

constexpr std::uint32_t kDistinct = 300;

void writeTrace(const std::string& path, std::uint32_t calls) {
    std::ofstream out(path, std::ios::binary);
    unsigned char header[zvtrace::kHeaderBytes];
    zvtrace::PutHeader(header, 1, 0);
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    std::string buf;
    for (std::uint32_t i = 1; i <= calls; ++i) {
        zvtrace::Head head;
        head.seq = i;
        head.start = head.end = std::uint64_t{i} * 1000;
        head.op = static_cast<std::uint8_t>(zvtrace::Op::GetVelPntInt32);
        zvtrace::Encoder call(buf, head, 7, 1);
        call.U32(1);
        call.U32(i % kDistinct);
        call.U32(0);
        call.U32(0);
        call.I32(0);
        call.None();
        call.U32(0);
        call.I32(static_cast<std::int32_t>(i));
        call.Finish();
        if (i % 100 == 0) {
            head.kind = zvtrace::Kind::Note;
            head.op = static_cast<std::uint8_t>(zvtrace::NoteKind::PldCount);
            zvtrace::Encoder note(buf, head, 1, 0);
            note.U32(i);
            note.Finish();
        }
        if (buf.size() > (1u << 20)) {
            out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
            buf.clear();
        }
    }
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
}

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

using Seconds = std::chrono::duration<double>;

// In the fresh process: the replay of `path`, each distinct request asked calls/kDistinct times.
int replay(const std::string& path, const std::string& name, std::uint32_t calls) {
    const auto start = std::chrono::steady_clock::now();
    const std::shared_ptr<zvsim::ReplayEngine> engine = zvsim::ReplayEngine::FromFile(path);
    const auto loaded = std::chrono::steady_clock::now();
    engine->SetJournalCapacity(0);
    std::int32_t value = 0;
    for (std::uint32_t i = 1; i <= calls; ++i) {
        const ZvVelPntDfn point{1, i % kDistinct, 0, 0, 0, nullptr, 0};
        if (engine->GetVelPntInt32(&point, &value) != 0 || value != static_cast<std::int32_t>(i)) {
            std::fprintf(stderr, "replay_bench: call %u answered %d\n", i, value);
            return 1;
        }
    }
    const auto answered = std::chrono::steady_clock::now();
    engine->Close();
    std::printf("MEMORY Replay%s_PeakRssKb %ld\n", name.c_str(), statusKb("VmHWM:"));
    std::printf("RATE Replay%s_LoadRecords %.0f\n", name.c_str(),
                (calls + calls / 100) / Seconds(loaded - start).count());
    std::printf("RATE Replay%s_Answers %.0f\n", name.c_str(),
                calls / Seconds(answered - loaded).count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4) return replay(argv[1], argv[2], static_cast<std::uint32_t>(std::atol(argv[3])));
    const char* dir = std::getenv("TMPDIR");
    const std::string at = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp");
    int failed = 0;
    for (const auto& [name, calls] : {std::pair<const char*, std::uint32_t>{"10k", 10000},
                                      std::pair<const char*, std::uint32_t>{"1M", 1000000}}) {
        const std::string path = at + "/zvpld-replay-bench-" + name + ".trace";
        writeTrace(path, calls);
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl("/proc/self/exe", argv[0], path.c_str(), name, std::to_string(calls).c_str(),
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        ::unlink(path.c_str());
    }
    return failed;
}
