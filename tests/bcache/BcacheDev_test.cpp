#include "bcache/BcacheDev.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "bcache/BcachePolicy.h"
#include "support/ScratchFiles.h"
#include "support/FakeKernel.h"
#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"
#include "support/SimBcache.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {

const char* const WRITE_CACHE = "/sys/block/sdb/queue/write_cache";
const char* const RESCAN = "/sys/block/sdb/device/rescan";
const char* const BACKING_LINK = "/sys/block/bcache0/bcache";
const char* const BACKING_DIR = "/sys/devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sdb";

class BcacheDevTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(sys.ok() && log.ok());
        FakePrivilege::Reset();
    }

    // bcache0 as a node the driver answers, backed by sdb with a rescan
    // trigger and the given write-cache mode text.
    std::unique_ptr<TestBcacheDev> Present(const std::string& mode = "write back\n")
    {
        auto dev = std::make_unique<TestBcacheDev>("bcache0");
        dev->realPaths["/dev/bcache0"] = "/dev/bcache0";
        dev->devices["/dev/bcache0"] = &driver;
        dev->realPaths[BACKING_LINK] = std::string(BACKING_DIR) + "/bcache";
        dev->existing[std::string(BACKING_DIR) + "/bcache"] = true;
        dev->realPaths["/dev/sdb"] = "/dev/sdb";
        dev->devices["/dev/sdb"] = &backingDisk;
        MakeFile(WRITE_CACHE, mode);
        MakeFile(RESCAN, "");
        driver.state = SimBcacheState{};
        driver.state.status = BcacheStatus{1000, 4000000000U, 1, 0, 0, 25, 0};
        return dev;
    }

    ScratchMount sys{"/sys"};
    ScratchLog log;
    SimBcache driver;
    SilentDisk backingDisk;
};

TEST_F(BcacheDevTest, TuneWritesThePolicysRecordForTheDriversStatus)
{
    auto dev = Present();
    EXPECT_EQ(dev->TuneBcache(), 0);

    const BcacheTuning& sent = driver.state.tuning;
    EXPECT_EQ(std::memcmp(&dev->Status(), &driver.state.status, sizeof(BcacheStatus)), 0);
    const BcacheTuning expected = ComputeTuning(driver.state.status);
    EXPECT_EQ(std::memcmp(&sent, &expected, sizeof(sent)), 0);
    EXPECT_EQ(sent.scaledA, 750U);
    EXPECT_EQ(sent.scaledB, 3000000000U);
    EXPECT_EQ(driver.state.statusRequests, 1U);
    EXPECT_EQ(driver.state.tuningRequests, 1U);
    EXPECT_THAT(dev->opened, ElementsAre("/dev/bcache0"));
    EXPECT_EQ(dev->openDescriptors, 0);
    EXPECT_THAT(g_privilege.calls, IsEmpty()) << "effective user 0 changes nothing";
    EXPECT_THAT(log.Messages(), IsEmpty());
}

TEST_F(BcacheDevTest, TuneRaisesPrivilegeForTheOpenAlone)
{
    const std::vector<std::string> both = {"setuid(0)", "seteuid(1000)"};
    const std::string openFailed = "[ERROR][open /dev/bcache0 error:Permission denied]";
    const struct {
        const char* name;
        uid_t euid;
        bool setuidFails;
        bool seteuidFails;
        bool openFails;
        int result;
        std::vector<std::string> calls;
        std::vector<uid_t> requestUsers;
        std::vector<std::string> messages;
    } rows[] = {
        {"root", 0, false, false, false, 0, {}, {0, 0}, {}},
        {"user", 1000, false, false, false, 0, both, {1000, 1000}, {}},
        {"setuid fails", 1000, true, false, false, -1, {"setuid(0)"}, {},
         {"[ERROR][setuid(0) failed: Operation not permitted ]"}},
        // reported by the tuning step, not here
        {"seteuid fails after the open", 1000, false, true, false, ERR_PRIVILEGE, both, {}, {}},
        {"open fails as root", 0, false, false, true, -1, {}, {}, {openFailed}},
        {"open fails as user", 1000, false, false, true, -1, both, {}, {openFailed}},
        {"open and seteuid fail", 1000, false, true, true, ERR_PRIVILEGE, both, {}, {openFailed}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchLog rowLog;
        auto dev = Present();
        if (row.openFails) {
            dev->openErrors["/dev/bcache0"] = EACCES;
        }
        FakePrivilege::Reset();
        g_privilege.euid = row.euid;
        g_privilege.setuidFails = row.setuidFails;
        g_privilege.seteuidFails = row.seteuidFails;

        EXPECT_EQ(dev->TuneBcache(), row.result);
        EXPECT_EQ(g_privilege.calls, row.calls);
        EXPECT_EQ(dev->requestUsers, row.requestUsers);
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(rowLog.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(BcacheDevTest, TuneStopsOnARefusedDriverRequest)
{
    const struct {
        int statusErrno;
        int tuningErrno;
        uint32_t tuningRequests;
        const char* message;
    } rows[] = {
        {EIO, 0, 0, "[WARNING][ioctl error:5 Input/output error]"},
        {0, EINVAL, 1, "[WARNING][ioctl error:22 Invalid argument]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        ScratchLog rowLog;
        auto dev = Present();
        driver.state.statusErrno = row.statusErrno;
        driver.state.tuningErrno = row.tuningErrno;

        EXPECT_EQ(dev->TuneBcache(), -1);
        EXPECT_EQ(driver.state.tuningRequests, row.tuningRequests) << "no tuning on a status not given";
        EXPECT_EQ(driver.state.tuning.fixedLevel, 0U) << "nothing accepted";
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(rowLog.Messages(), ElementsAre(row.message));
    }
}

TEST_F(BcacheDevTest, TuneResolvesTheNodeBeforeOpeningIt)
{
    const struct {
        const char* resolved;  // nullptr: a dangling link
        int result;
        std::vector<std::string> opened;
        std::vector<std::string> messages;
    } rows[] = {
        {nullptr, -1, {}, {"[ERROR][realpath /dev/bcache0 4096 error:2 No such file or directory]"}},
        {"/dev/gone", -1, {}, {"[ERROR][access /dev/gone error:2 No such file or directory]"}},
        {"/dev/block/real0", 0, {"/dev/block/real0"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.resolved == nullptr ? "dangling" : row.resolved);
        ScratchLog rowLog;
        auto dev = Present();
        dev->realPaths.erase("/dev/bcache0");
        if (row.resolved != nullptr) {
            dev->realPaths["/dev/bcache0"] = row.resolved;
        }
        dev->devices["/dev/block/real0"] = &driver;
        g_privilege.euid = 1000;
        g_privilege.calls.clear();

        EXPECT_EQ(dev->TuneBcache(), row.result);
        EXPECT_EQ(dev->opened, row.opened);
        if (row.result != 0) {
            EXPECT_THAT(g_privilege.calls, IsEmpty()) << "no privilege for a node that is not there";
        }
        EXPECT_THAT(rowLog.Messages(), ElementsAreArray(row.messages));
    }

    BcacheDev* overlong = new TestBcacheDev(std::string(4091, 'b'));
    EXPECT_EQ(overlong->TuneBcache(), -1);
    delete overlong;  // released through the base, as its owner would
}

TEST_F(BcacheDevTest, BackingDiskIsTheDirectoryHoldingTheLink)
{
    const struct {
        const char* resolved;  // nullptr: no link
        bool exists;
        int result;
        const char* disk;
        std::vector<std::string> messages;
    } rows[] = {
        {"/sys/devices/virtual/block/sdb/bcache", true, 0, "sdb", {}},
        {"/sys/devices/pci0000:00/host0/block/sdb/sdb1/bcache", true, 0, "sdb1", {}},
        {"/sdb/bcache", true, 0, "sdb", {}},
        {"/bcache", true, -1, "unchanged", {}},
        {"/sys/block/sdb/bcache", false, -1, "unchanged",
         {"[ERROR][access /sys/block/sdb/bcache error:2 No such file or directory]"}},
        {nullptr, false, -1, "unchanged",
         {"[ERROR][realpath /sys/block/bcache0/bcache error:2 No such file or directory]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.resolved == nullptr ? "no link" : row.resolved);
        ScratchLog rowLog;
        TestBcacheDev dev("bcache0");
        if (row.resolved != nullptr) {
            dev.realPaths[BACKING_LINK] = row.resolved;
            dev.existing[row.resolved] = row.exists;
            if (!row.exists) {
                dev.existing.erase(row.resolved);
            }
        }
        std::string disk = "unchanged";
        EXPECT_EQ(dev.GetBackendDev(disk), row.result);
        EXPECT_EQ(disk, row.disk);
        EXPECT_THAT(rowLog.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(BcacheDevTest, FlushSwitchesOffRescansThenSyncs)
{
    const std::string set = "SetWriteCache(100, 0)";
    const std::string syncAfterRescan = "SyncCache(100) after rescan \"1\"";
    const struct {
        const char* name;
        int setResult;
        int syncResult;
        const char* mode;
        int result;
        std::vector<std::string> scsiSteps;
        const char* trigger;
        std::vector<std::string> messages;
    } rows[] = {
        {"already off, write through", -1, 0, "write through\n", 0, {set}, "", {}},
        {"already off, write back", -1, 0, "write back\n", 0, {set}, "1", {"[INFO][rescan dev sdb return 0]"}},
        {"already off, mode unreadable", -1, 0, "", 0, {set}, "", {}},
        {"switch failed", 1, 0, "write back\n", 1, {set}, "", {"[ERROR][change config of sdb failed]"}},
        {"switched", 0, 0, "write back\n", 0, {set, syncAfterRescan}, "1",
         {"[INFO][change config of sdb succeed]", "[INFO][rescan dev sdb return 0]",
          "[INFO][sync device sdb return 0]"}},
        {"switched, sync failed", 0, 1, "write back\n", 0, {set, syncAfterRescan}, "1",
         {"[INFO][change config of sdb succeed]", "[INFO][rescan dev sdb return 0]",
          "[INFO][sync device sdb return 1]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchLog rowLog;
        auto dev = Present(row.mode);
        dev->setWriteCacheResult = row.setResult;
        dev->syncResult = row.syncResult;

        EXPECT_EQ(dev->FlushBcache(), row.result);
        EXPECT_EQ(dev->scsiSteps, row.scsiSteps);
        EXPECT_EQ(ReadFile(RESCAN), row.trigger);
        EXPECT_THAT(dev->opened, ElementsAre("/dev/sdb"));
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(g_privilege.calls, IsEmpty());
        EXPECT_THAT(rowLog.Messages(), ElementsAreArray(row.messages));
    }
}

TEST_F(BcacheDevTest, FlushPassesUpALostPrivilegeDrop)
{
    auto dev = Present();
    g_privilege.euid = 1000;
    g_privilege.seteuidFails = true;
    EXPECT_EQ(dev->FlushBcache(), ERR_PRIVILEGE);
    EXPECT_EQ(dev->openDescriptors, 0);
    EXPECT_THAT(log.Messages(), ElementsAre("[INFO][change config of sdb succeed]",
                                            "[ERROR][seteuid(1000) failed: Operation not permitted ]",
                                            "[INFO][sync device sdb return 0]"));
}

TEST_F(BcacheDevTest, FlushNeedsAnExistingBackingNode)
{
    const struct {
        const char* name;
        void (*breakIt)(TestBcacheDev&);
        const char* message;
    } rows[] = {
        {"no backing link", [](TestBcacheDev& d) { d.realPaths.erase(BACKING_LINK); },
         "[ERROR][realpath /sys/block/bcache0/bcache error:2 No such file or directory]"},
        {"dangling node", [](TestBcacheDev& d) { d.realPaths.erase("/dev/sdb"); },
         "[ERROR][realpath /dev/sdb error:2 No such file or directory]"},
        {"node missing", [](TestBcacheDev& d) { d.realPaths["/dev/sdb"] = "/dev/sdz"; },
         "[ERROR][access /dev/sdz error:2 No such file or directory]"},
        {"open refused", [](TestBcacheDev& d) { d.openErrors["/dev/sdb"] = EACCES; },
         "[ERROR][open /dev/sdb error:13 Permission denied]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchLog rowLog;
        auto dev = Present();
        row.breakIt(*dev);
        EXPECT_EQ(dev->FlushBcache(), -1);
        EXPECT_THAT(dev->scsiSteps, IsEmpty());
        EXPECT_EQ(dev->openDescriptors, 0);
        EXPECT_THAT(rowLog.Messages(), ElementsAre(row.message));
    }
}

} // namespace
