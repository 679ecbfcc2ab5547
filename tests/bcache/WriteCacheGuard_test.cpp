#include "bcache/WriteCacheGuard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/ScratchFiles.h"
#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"
#include "sys/Status.h"

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {

const char* const WRITE_CACHE = "/sys/block/sdb/queue/write_cache";
const char* const RESCAN = "/sys/block/sdb/device/rescan";

class WriteCacheGuard : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(sys.ok() && log.ok());
        FakePrivilege::Reset();
    }

    ScratchMount sys{"/sys"};
    ScratchLog log;
};

TEST_F(WriteCacheGuard, ReadsTheModeFromTheTextsPrefix)
{
    const struct {
        std::string text;
        int mode;
    } rows[] = {
        {"write back\n", WRITE_CACHE_BACK},
        {"write back", WRITE_CACHE_BACK},
        {"write through\n", WRITE_CACHE_THROUGH},
        {"write through", WRITE_CACHE_THROUGH},
        // a full buffer carries no terminator of its own
        {"write through" + std::string(300, 'x'), WRITE_CACHE_THROUGH},
        {"write\n", WRITE_CACHE_UNKNOWN},
        {"Write back\n", WRITE_CACHE_UNKNOWN},
        {"none\n", WRITE_CACHE_UNKNOWN},
        {"", WRITE_CACHE_UNKNOWN},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        MakeFile(WRITE_CACHE, row.text);
        EXPECT_EQ(QueryWriteCacheMode("sdb"), row.mode);
    }
    EXPECT_THAT(log.Messages(), IsEmpty());
}

TEST_F(WriteCacheGuard, MissingModeIsUnknown)
{
    EXPECT_EQ(QueryWriteCacheMode("sdb"), WRITE_CACHE_UNKNOWN);
    EXPECT_THAT(log.Messages(), ElementsAre("[ERROR][realpath failed]"));
}

TEST_F(WriteCacheGuard, RescanWritesOneByteUnderRaisedPrivilege)
{
    const struct {
        const char* name;
        uid_t euid;
        bool setuidFails;
        bool seteuidFails;
        int result;
        std::vector<std::string> calls;
        const char* trigger;  // the attribute afterwards
        std::vector<std::string> messages;
    } rows[] = {
        {"as root", 0, false, false, 0, {}, "1", {"[INFO][rescan dev sdb return 0]"}},
        {"as a user", 1000, false, false, 0, {"setuid(0)", "seteuid(1000)"}, "1",
         {"[INFO][rescan dev sdb return 0]"}},
        {"setuid fails", 1000, true, false, -1, {"setuid(0)"}, "",
         {"[ERROR][setuid(0) failed: Operation not permitted ]"}},
        {"seteuid fails", 1000, false, true, ERR_PRIVILEGE, {"setuid(0)", "seteuid(1000)"}, "1",
         {"[ERROR][seteuid(1000) failed: Operation not permitted ]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchLog rowLog;
        MakeFile(RESCAN, "");
        FakePrivilege::Reset();
        g_privilege.euid = row.euid;
        g_privilege.setuidFails = row.setuidFails;
        g_privilege.seteuidFails = row.seteuidFails;

        EXPECT_EQ(RescanDisk("sdb"), row.result);
        EXPECT_EQ(g_privilege.calls, row.calls);
        EXPECT_EQ(ReadFile(RESCAN), row.trigger);
        EXPECT_THAT(rowLog.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(WriteCacheGuard, UnwritableRescanTriggerIsOnlyReported)
{
    MakeFile(std::string(RESCAN) + "/x", "");  // a directory where the trigger should be
    EXPECT_EQ(RescanDisk("sdb"), 0);
    EXPECT_THAT(log.Messages(), ElementsAre("[ERROR][open /sys/block/sdb/device/rescan failed]",
                                            "[INFO][rescan dev sdb return 1]"));
}

TEST_F(WriteCacheGuard, OverlongDiskNameTouchesNothing)
{
    const std::string disk(4090, 'a');
    g_privilege.euid = 1000;
    EXPECT_EQ(QueryWriteCacheMode(disk), WRITE_CACHE_UNKNOWN);
    EXPECT_EQ(RescanDisk(disk), -1);
    EXPECT_THAT(g_privilege.calls, IsEmpty());
}

} // namespace
