// The library against a mutex wrapper that answers 1 where the stand-in answers 0: this program's
// ZvLinuxMutex::Lock() and Unlock() lock and unlock through the stand-in's, then answer 1. They
// also count the locks asked for and can run a hook just before an unlock.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "MockEngine.h"
#include "Seen.h"

using namespace ::testing;

namespace {

using WrapperCall = int (*)(ZvLinuxMutex*);
WrapperCall Next(const char* name) {
    return reinterpret_cast<WrapperCall>(dlsym(RTLD_NEXT, name));
}
const WrapperCall g_lock = Next("_ZN12ZvLinuxMutex4LockEv");
const WrapperCall g_unlock = Next("_ZN12ZvLinuxMutex6UnlockEv");

std::atomic<int> g_locksAskedFor{0};
void (*g_beforeUnlock)() = nullptr;  // set and cleared by one thread while no other locks

}  // namespace

int ZvLinuxMutex::Lock() {
    ++g_locksAskedFor;
    g_lock(this);
    return 1;
}

int ZvLinuxMutex::Unlock() {
    if (g_beforeUnlock != nullptr) g_beforeUnlock();
    g_unlock(this);
    return 1;
}

namespace {

// Waits, at most 10 s, until `done` says so; a wait in vain ends the program, for whatever waits
// on a lock that will never be released can only hang.
template <class Done>
void Await(Done done) {
    if (WaitUntil(done)) return;
    ADD_FAILURE() << "waited in vain";
    std::_Exit(1);
}

// A call on another thread that must return within 10 s.
template <class Call>
auto Bounded(Call call) {
    auto result = std::async(std::launch::async, call);
    Await([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return result.get();
}

void OnAnswer(std::list<ZvPldProxy::ActiveEvent*>* events) {
    for (auto* e : *events) delete e;
}
// Which value-change callback a drained notification reached: 1 or 2.
int g_reached;
template <int N>
void Reached(void*, const ZvValChgInfo*) {
    g_reached = N;
}

using OtherWrapper = ProxyTest;

TEST_F(OtherWrapper, AnswersOfOneStopNoOperationAndLeaveNoLockHeld) {
    start();
    ASSERT_TRUE(g_lock != nullptr && g_unlock != nullptr);
    EXPECT_CALL(*engine, GetVelPntInt32(_, NotNull()))
        .WillOnce(DoAll(SetArgPointee<1>(-5), ReturnUnderClientLock(0)));
    int value = 0;
    EXPECT_EQ(proxy->GetValueSInt32(&value, 1, 2, 1, 0, 0, 0), 0);
    EXPECT_EQ(value, -5);

    EXPECT_CALL(*engine, GetMaxNmbrAncstrs(1)).WillOnce(Return(0));
    EXPECT_CALL(*engine, GetPointsRprt(1, 2)).WillOnce(Return(0x500));
    EXPECT_CALL(*engine, GetRprtAncstr(NotNull())).WillOnce([](ZvVelRprtDfn* rprt) {
        *static_cast<ZvPldEngAncestors*>(rprt->buf) = ZvPldEngAncestors{0x500, 0, 9, 0, nullptr};
        return 0;
    });
    const auto query = [this] {
        std::list<unsigned long> aux, gdd;
        std::list<unsigned short> mm;
        return proxy->GetHierarchyLists(aux, gdd, mm, 1, 2, 1) + int(gdd.size());
    };
    EXPECT_EQ(query(), 1);         // one level
    EXPECT_EQ(Bounded(query), 1);  // from the cache, on a thread of its own
    EXPECT_EQ(Bounded(query), 1);

    EXPECT_CALL(*engine, RegValueChange(_, nullptr, 0)).WillOnce(ReturnUnderClientLock(0));
    proxy->RegisterForValueChange(Reached<1>, nullptr, 0);
    EXPECT_CALL(*engine, Process(NotNull())).WillOnce(ReturnUnderClientLock(0));
    std::list<ZvPldProxy::ActiveEvent*> events;
    EXPECT_EQ(proxy->GetActiveEvents(&events, OnAnswer, 0), 0);

    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(OtherWrapper, TwoFirstRegistrationsOfAKindAtOnceRegisterWithTheEngineOnce) {
    start();
    const int asked = g_locksAskedFor;
    std::atomic<bool> inEngine{false};
    EXPECT_CALL(*engine, RegValueChange(_, nullptr, 1))
        .WillOnce([&](ZvValueChangeFn, void*, std::uint16_t) {
            inEngine = true;  // held here until the other registration has asked for the lock
            Await([&] { return g_locksAskedFor >= asked + 2; });
            return 0;
        });
    std::thread first([this] { proxy->RegisterForValueChange(Reached<1>, nullptr, 1); });
    Await([&] { return inEngine.load(); });
    proxy->RegisterForValueChange(Reached<2>, nullptr, 2);
    first.join();
    std::uint16_t data[1] = {};
    const ZvValChgInfo info{1, 2, 0, 1, 1, 0, data};
    ZvPldProxy::CallbackValueChange(nullptr, &info);
    proxy->CheckValueChange();
    EXPECT_EQ(g_reached, 2);  // the later callback replaced the first
}

// The message client's reply buffer is the caller's only while the client lock is held.
char* g_versionBuffer;
void Overwrite() {
    if (g_versionBuffer != nullptr) std::fill(g_versionBuffer, g_versionBuffer + 20, 'X');
}

TEST_F(OtherWrapper, TheFdmVersionIsTakenWhileTheClientLockIsHeld) {
    start();
    EXPECT_CALL(*engine, GetVelFDMVersion(3, 20, NotNull())).WillOnce([](int, int, char* buf) {
        std::strcpy(buf, "V10.20.30-build.789");  // 19 characters: no short string
        g_versionBuffer = buf;
        return 0;
    });
    g_beforeUnlock = Overwrite;
    const std::string version = proxy->GetFdmVersion(3);
    g_beforeUnlock = nullptr;
    EXPECT_EQ(version, "V10.20.30-build.789");
}

}  // namespace
