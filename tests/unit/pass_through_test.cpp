// The requests passed straight through: a record, the inventory, product identity, FDM version.
#include <cstdlib>
#include <numeric>

#include "MockEngine.h"

using namespace ::testing;
using namespace std::string_literals;

namespace {

using PassThrough = ProxyTest;

TEST_F(PassThrough, ProcessHandsOnTheRecordAndEveryFailingStatusGivesTwo) {
    start();
    ZvPldEngInfo record{};
    for (const Y4_Status status : kStatuses) {
        EXPECT_CALL(*engine, Process(&record)).WillOnce(ReturnUnderClientLock(status));
        ExpectOutcome(
            log, proxy->Process(&record), status == 0 ? 0 : 2,
            "Process: Failed to process http request -- Y4_Status: " + std::to_string(status));
    }
    ExpectOutcome(log, proxy->Process(nullptr), 2, "Process: no request record");
}

TEST_F(PassThrough, InventoryIdentityAndVersionAreHandedOverOnlyWhenWholeAndValid) {
    start();
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
    const struct {
        int ids, revision;  // ids -1: the engine has no block
        bool valid;
    } identities[] = {{1, 1, false}, {9, 1, false}, {2, 0, false},
                      {2, 1, true},  {8, 1, true},  {-1, 0, false}};
    ZvProductIdentSeq earlier;
    for (const auto& c : identities) {
        auto* block = static_cast<ZvProductIdentSeq*>(c.ids < 0 ? nullptr : std::malloc(18));
        if (block) *block = ZvProductIdentSeq{std::uint8_t(c.ids), std::uint8_t(c.revision), {}};
        EXPECT_CALL(*engine, GetProdSeqId(65535)).WillOnce(ReturnUnderClientLock(block));
        ZvProductIdentSeq* out = &earlier;
        EXPECT_EQ(proxy->GetProdSeqId(&out, 65535), c.valid) << c.ids << "," << c.revision;
        EXPECT_EQ(out, c.valid ? block : &earlier);
        if (c.valid) std::free(out);  // a block freed by the proxy as well is a double free
    }
    EXPECT_FALSE(proxy->GetProdSeqId(nullptr, 1));
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
