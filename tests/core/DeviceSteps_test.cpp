#include "core/DeviceSteps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "support/SimBcache.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

OsdInfo Record(const char* block, int32_t engine, const char* blockLink, const char* dbLink)
{
    OsdInfo record;
    record.block = block;
    record.engineType = engine;
    record.blockLink = blockLink;
    record.dbLink = dbLink;
    return record;
}

TEST(FindCacheOffRecord, WantsAWholeNameBluestoreRecordWithItsDbElsewhere)
{
    const OsdInfo separateDb = Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/nvme0n1p1");
    const struct {
        const char* name;
        std::vector<OsdInfo> records;
        int expected;  // index of the record found, -1 for none
    } rows[] = {
        {"nothing known", {}, -1},
        {"DB on another device", {separateDb}, 0},
        {"DB on the block device", {Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/bcache0")}, -1},
        {"no links at all", {Record("bcache0", ENGINE_BLUESTORE, "", "")}, -1},
        {"a longer device name", {Record("bcache01", ENGINE_BLUESTORE, "/dev/bcache01", "/dev/sdz")}, -1},
        {"filestore", {Record("bcache0", ENGINE_FILESTORE, "/dev/bcache0", "/dev/sdz")}, -1},
        {"unknown type", {Record("bcache0", ENGINE_UNKNOWN, "/dev/bcache0", "/dev/sdz")}, -1},
        {"the first of several", {Record("bcache1", ENGINE_BLUESTORE, "a", "b"), separateDb, separateDb}, 1},
    };
    for (const auto& row : rows) {
        const OsdInfo* found = FindCacheOffRecord(row.records, "bcache0");
        EXPECT_EQ(found == nullptr ? -1 : found - row.records.data(), row.expected) << row.name;
    }
}

class DeviceStepsTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(sys.ok() && log.ok());
        FakePrivilege::Reset();
        device.realPaths["/dev/bcache0"] = "/dev/bcache0";
        device.devices["/dev/bcache0"] = &driver;
        device.realPaths["/sys/block/bcache0/bcache"] = "/sys/devices/virtual/block/sdb/bcache";
        device.existing["/sys/devices/virtual/block/sdb/bcache"] = true;
        device.realPaths["/dev/sdb"] = "/dev/sdb";
        device.devices["/dev/sdb"] = &backingDisk;
        device.setWriteCacheResult = 0;
        MakeFile(TEST_RESCAN, "");
        MakeFile("/sys/block/sdb/queue/write_cache", "write back\n");
    }

    // The flush is visible as the SCSI switch it starts; the tuning as the
    // driver's tuning requests.
    size_t Flushes() const { return device.scsiSteps.empty() ? 0 : 1; }
    uint32_t Tunings() const { return driver.state.tuningRequests; }

    ScratchMount sys{"/sys"};
    ScratchLog log;
    SimBcache driver;
    SilentDisk backingDisk;
    TestBcacheDev device{"bcache0"};
    std::vector<OsdInfo> matching{Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/nvme0n1p1")};
};

TEST_F(DeviceStepsTest, FlushesAMatchingDiskThenTunes)
{
    EXPECT_EQ(RunDeviceSteps(device, matching), 0);
    EXPECT_EQ(Flushes(), 1u);
    EXPECT_EQ(Tunings(), 1u);
    EXPECT_THAT(log.Messages(), ElementsAre("[INFO][change config of sdb succeed]", "[INFO][rescan dev sdb return 0]",
                                            "[INFO][sync device sdb return 0]"));
}

TEST_F(DeviceStepsTest, DecidesFromTheInventoryAndTheBlockLayersMode)
{
    const struct {
        const char* name;
        bool emptyInventory;
        const char* mode;  // null: the attribute is missing
        size_t flushes;
    } rows[] = {
        {"empty inventory", true, "write back\n", 0},
        {"write through", false, "write through\n", 0},
        {"unreadable mode", false, nullptr, 1},
        {"other mode text", false, "none\n", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchMount rowSys("/sys");
        ScratchLog rowLog;
        MakeFile(TEST_RESCAN, "");
        if (row.mode != nullptr) {
            MakeFile("/sys/block/sdb/queue/write_cache", row.mode);
        }
        device.scsiSteps.clear();
        EXPECT_EQ(RunDeviceSteps(device, row.emptyInventory ? std::vector<OsdInfo>{} : matching), 0);
        EXPECT_EQ(Flushes(), row.flushes);
        if (row.emptyInventory) {
            EXPECT_THAT(rowLog.Messages(), IsEmpty()) << "no mode query without records";
        }
    }
    EXPECT_EQ(Tunings(), 4u) << "every device is tuned whatever the decision";
}

TEST_F(DeviceStepsTest, UnknownBackingDiskOrFailedFlushStillTunes)
{
    device.realPaths.erase("/sys/block/bcache0/bcache");
    EXPECT_EQ(WriteCacheStep(device, matching), -1);
    EXPECT_EQ(Flushes(), 0u);
    EXPECT_EQ(log.Messages().back(), "[WARNING][GetBackendDev error:bcache0]");
    EXPECT_EQ(RunDeviceSteps(device, matching), 0);
    EXPECT_EQ(Tunings(), 1u);

    ScratchLog failedLog;
    device.realPaths["/sys/block/bcache0/bcache"] = "/sys/devices/virtual/block/sdb/bcache";
    device.setWriteCacheResult = 1;
    EXPECT_EQ(WriteCacheStep(device, matching), 1);
    EXPECT_THAT(failedLog.Messages(), ElementsAre("[ERROR][change config of sdb failed]",
                                                  "[ERROR][FlushBcache error:bcache0 return:1]"));
    EXPECT_EQ(RunDeviceSteps(device, matching), 0);
    EXPECT_EQ(Tunings(), 2u);
}

TEST_F(DeviceStepsTest, RaisesPrivilegeAroundTheFlushAlone)
{
    g_privilege.euid = 1000;
    EXPECT_EQ(WriteCacheStep(device, matching), 0);
    EXPECT_THAT(g_privilege.calls, ElementsAre("setuid(0)", "seteuid(1000)"))
        << "the flush runs as root, so the rescan inside it changes nothing";

    FakePrivilege::Reset();
    g_privilege.euid = 1000;
    g_privilege.setuidFails = true;
    device.scsiSteps.clear();
    EXPECT_EQ(WriteCacheStep(device, matching), -1);
    EXPECT_EQ(Flushes(), 0u);
    EXPECT_EQ(log.Messages().back(), "[ERROR][setuid(0) failed: Operation not permitted ]");
}

TEST_F(DeviceStepsTest, LostPrivilegeAfterTheFlushSkipsTheTuning)
{
    g_privilege.euid = 1000;
    g_privilege.seteuidFails = true;
    EXPECT_EQ(RunDeviceSteps(device, matching), ERR_PRIVILEGE);
    EXPECT_EQ(Flushes(), 1u);
    EXPECT_EQ(Tunings(), 0u);
    EXPECT_EQ(log.Messages().back(), "[ERROR][seteuid(1000) failed: Operation not permitted ]");
}

TEST_F(DeviceStepsTest, TuningStepReportsALostPrivilegeDrop)
{
    g_privilege.euid = 1000;
    std::vector<OsdInfo> none;
    // The write-cache step makes no privilege call without records, so the
    // first drop to fail is the one after the tuning step's open.
    g_privilege.seteuidFails = true;
    EXPECT_EQ(RunDeviceSteps(device, none), ERR_PRIVILEGE);
    EXPECT_EQ(Tunings(), 0u);
    EXPECT_EQ(device.openDescriptors, 0);
    EXPECT_EQ(log.Messages().back(), "[ERROR][seteuid failed]");
}

} // namespace
