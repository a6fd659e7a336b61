// The requests passed straight through: a record, the inventory, product identity, FDM version.
#include <cstdlib>
#include <numeric>

#include "MockEngine.h"

using namespace ::testing;
using namespace std::string_literals;

namespace {

using PassThrough = ProxyTest;

TEST_F(PassThrough, ProcessGivesTwoForEveryFailureAndTheInventoryAndVersionComeOnlyWhole) {
    start();
    ZvPldEngInfo record{};
    for (const Y4_Status status : kStatuses) {
        EXPECT_CALL(*engine, Process(&record)).WillOnce(ReturnUnderClientLock(status));
        ExpectOutcome(
            log, proxy->Process(&record), status == 0 ? 0 : 2,
            "Process: Failed to process http request -- Y4_Status: " + std::to_string(status));
    }
    ExpectOutcome(log, proxy->Process(nullptr), 2, "Process: no request record");
    // The inventory and the version are handed over only when whole.
    ZvVelInventory sent;  // every byte distinct
    std::iota(reinterpret_cast<unsigned char*>(&sent), reinterpret_cast<unsigned char*>(&sent + 1),
              1);
    for (const Y4_Status status : {1, 0, 5, -1}) {
        EXPECT_CALL(*engine, GetVelServerInventory(NotNull()))
            .WillOnce(DoAll(SetArgPointee<0>(sent), ReturnUnderClientLock(status)));
        ZvVelInventory got, before;
        std::memset(&before, 0xEE, sizeof before);
        std::memcpy(&got, &before, sizeof got);
        EXPECT_EQ(proxy->GetPldInventory(&got), status == 0);
        EXPECT_EQ(std::memcmp(&got, status == 0 ? &sent : &before, sizeof got), 0) << status;
    }
    EXPECT_FALSE(proxy->GetPldInventory(nullptr));
    const std::pair<std::string, std::string> versions[] = {
        {"", ""}, {"1.2\0xyz"s, "1.2"}, {std::string(20, 'v'), std::string(20, 'v')}};  // no NUL
    for (const auto& c : versions) {
        EXPECT_CALL(*engine, GetVelFDMVersion(65535, 20, NotNull()))
            .WillOnce([&](int, int, char* buf) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
                EXPECT_EQ(std::count(buf, buf + 20, '\0'), 20);  // cleared first
                std::copy(c.first.begin(), c.first.end(), buf);
                return 1;  // not examined
            });
        EXPECT_EQ(proxy->GetFdmVersion(65535), c.second);
    }
    EXPECT_TRUE(log.take().empty());
}

}  // namespace
