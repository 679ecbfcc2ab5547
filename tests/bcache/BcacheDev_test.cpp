// BcacheDev and the write-cache guard over a faked kernel, a simulated
// driver and a scratch /sys.
#include "bcache/BcacheDev.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "disk/KernelView.h"
#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"
#include "support/SimBcache.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {

using DevSetup = std::function<void(TestBcacheDev&, SimBcache&)>;
const std::vector<std::string> BOTH = {"setuid(0)", "seteuid(1000)"};
const char* const SETEUID_FAILED = "[ERROR][seteuid(1000) failed: Operation not permitted ]";

class BcacheDevTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(sys.ok());
        FakePrivilege::Reset();
    }

    // bcache0 as a node the driver answers, backed by sdb with a rescan
    // trigger and the given write-cache mode text.
    std::unique_ptr<TestBcacheDev> Present(const char* mode = "write back\n")
    {
        auto dev = std::make_unique<TestBcacheDev>("bcache0");
        BcacheOver(*dev, &driver, &backingDisk, mode);
        driver.state = SimBcacheState{};
        driver.state.status = BcacheStatus{1000, 4000000000U, 1, 0, 0, 25, 0};
        FakePrivilege::Reset();
        return dev;
    }

    ScratchMount sys{"/sys"};
    SimBcache driver;
    SilentDisk backingDisk;
};

TEST_F(BcacheDevTest, TuneRaisesPrivilegeForTheOpenAloneAndStopsOnRefusals)
{
    const std::string openFailed = "[ERROR][open /dev/bcache0 error:Permission denied]";
    const struct {
        const char* name;
        uid_t euid;
        DevSetup setup;
        int result;
        std::vector<std::string> calls;
        std::vector<uid_t> requestUsers;  // one entry per driver request
        std::vector<std::string> messages;
    } rows[] = {
        {"root", 0, [](auto&, auto&) {}, 0, {}, {0, 0}, {}},
        {"user", 1000, [](auto&, auto&) {}, 0, BOTH, {1000, 1000}, {}},
        {"setuid fails", 1000, [](auto&, auto&) { g_privilege.setuidFails = true; }, -1, {"setuid(0)"}, {},
         {"[ERROR][setuid(0) failed: Operation not permitted ]"}},
        // reported by the tuning step, not here
        {"seteuid fails", 1000, [](auto&, auto&) { g_privilege.seteuidFails = true; }, ERR_PRIVILEGE, BOTH,
         {}, {}},
        {"open refused", 1000, [](auto& d, auto&) { d.openErrors["/dev/bcache0"] = EACCES; }, -1, BOTH, {},
         {openFailed}},
        {"status refused", 0, [](auto&, auto& b) { b.state.statusErrno = EIO; }, -1, {}, {0},
         {"[WARNING][ioctl error:5 Input/output error]"}},
        {"tuning refused", 0, [](auto&, auto& b) { b.state.tuningErrno = EINVAL; }, -1, {}, {0, 0},
         {"[WARNING][ioctl error:22 Invalid argument]"}},
        {"dangling node", 1000, [](auto& d, auto&) { d.realPaths.erase("/dev/bcache0"); }, -1, {}, {},
         {"[ERROR][realpath /dev/bcache0 4096 error:2 No such file or directory]"}},
        {"node gone", 1000, [](auto& d, auto&) { d.realPaths["/dev/bcache0"] = "/dev/gone"; }, -1, {}, {},
         {"[ERROR][access /dev/gone error:2 No such file or directory]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        auto dev = Present();
        g_privilege.euid = row.euid;
        row.setup(*dev, driver);

        EXPECT_EQ(dev->TuneBcache(), row.result);
        EXPECT_EQ(g_privilege.calls, row.calls);
        EXPECT_EQ(dev->requestUsers, row.requestUsers);
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(log.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(BcacheDevTest, BackingDiskIsTheDirectoryHoldingTheLink)
{
    const struct {
        const char* device;
        const char* resolved;  // of /sys/block/bcache0/bcache
        int result;
        const char* disk;
    } rows[] = {
        {"bcache0", "/sys/devices/pci0000:00/host0/block/sdb/sdb1/bcache", 0, "sdb1"},
        // A partition has no link of its own: its whole device's answers.
        {"bcache0p1", "/sys/devices/pci0000:00/host0/block/sdb/bcache", 0, "sdb"},
        {"bcache0", "/bcache", -1, "unchanged"},
    };
    for (const auto& row : rows) {
        TestBcacheDev dev(row.device);
        dev.realPaths["/sys/block/bcache0/bcache"] = row.resolved;
        dev.existing[row.resolved] = true;
        std::string disk = "unchanged";
        EXPECT_EQ(dev.GetBackendDev(disk), row.result) << row.resolved;
        EXPECT_EQ(disk, row.disk);
    }
}

TEST_F(BcacheDevTest, FlushSwitchesOffRescansThenSyncs)
{
    const std::string set = "SetWriteCache(100, 0)";
    const std::string syncAfterRescan = "SyncCache(100) after rescan \"1\"";
    const std::string succeed = "[INFO][change config of sdb succeed]";
    const std::string rescanned = "[INFO][rescan dev sdb return 0]";
    const struct {
        const char* name;
        const char* mode;
        std::function<void(TestBcacheDev&)> setup;
        int result;
        std::vector<std::string> scsiSteps;
        const char* trigger;
        std::vector<std::string> messages;
    } rows[] = {
        {"already off, block layer behind", "write back\n", [](auto& d) { d.setWriteCacheResult = -1; }, 0,
         {set}, "1", {rescanned}},
        {"already off, mode unreadable", "", [](auto& d) { d.setWriteCacheResult = -1; }, 0, {set}, "", {}},
        {"switched, sync failed", "write back\n", [](auto& d) { d.syncResult = 1; }, 0,
         {set, syncAfterRescan}, "1", {succeed, rescanned, "[INFO][sync device sdb return 1]"}},
        {"switched, privilege not restored", "write back\n",
         [](auto&) {
             g_privilege.euid = 1000;
             g_privilege.seteuidFails = true;
         },
         ERR_PRIVILEGE, {set, syncAfterRescan}, "1",
         {succeed, SETEUID_FAILED, "[INFO][sync device sdb return 0]"}},
        {"dangling node", "write back\n", [](auto& d) { d.realPaths.erase("/dev/sdb"); }, -1, {}, "",
         {"[ERROR][realpath /dev/sdb error:2 No such file or directory]"}},
        {"node gone", "write back\n", [](auto& d) { d.realPaths["/dev/sdb"] = "/dev/sdz"; }, -1, {}, "",
         {"[ERROR][access /dev/sdz error:2 No such file or directory]"}},
        {"open refused", "write back\n", [](auto& d) { d.openErrors["/dev/sdb"] = EACCES; }, -1, {}, "",
         {"[ERROR][open /dev/sdb error:13 Permission denied]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        auto dev = Present(row.mode);
        row.setup(*dev);

        EXPECT_EQ(dev->FlushBcache(), row.result);
        EXPECT_EQ(dev->scsiSteps, row.scsiSteps);
        EXPECT_EQ(ReadFile(TEST_RESCAN), row.trigger);
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(log.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(BcacheDevTest, OverlongNamesTouchNothing)
{
    LogCapture log;
    g_privilege.euid = 1000;
    TestBcacheDev dev(std::string(4091, 'b'));
    std::string disk = "unchanged";
    EXPECT_EQ(dev.TuneBcache(), -1);
    EXPECT_EQ(dev.GetBackendDev(disk), -1);
    EXPECT_EQ(QueryWriteCacheMode(std::string(4090, 'a')), WRITE_CACHE_UNKNOWN);
    EXPECT_EQ(RescanDisk(std::string(4090, 'a')), -1);
    EXPECT_THAT(dev.opened, IsEmpty());
    EXPECT_THAT(g_privilege.calls, IsEmpty());
}

} // namespace
