#include "writecache/WriteCacheStep.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "daemon/DeviceSteps.h"

#include "support/LogCapture.h"
#include "support/SimDisk.h"
#include "support/SimBcache.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

namespace {

// `devices`: the bcache devices carrying the OSD, separated by blanks.
OsdInfo Record(const char* devices, int32_t engine, const char* blockLink, const char* dbLink)
{
    OsdInfo record;
    std::istringstream names(devices);
    for (std::string name; names >> name;) {
        record.bcacheDevices.push_back(name);
    }
    record.block = record.bcacheDevices.empty() ? "" : record.bcacheDevices[0];
    record.engineType = engine;
    record.blockLink = blockLink;
    record.dbLink = dbLink;
    return record;
}

const OsdInfo SEPARATE_DB = Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/nvme0n1p1");

// bcache0 over the whole disk sdb, as sysfs links them, with the rescan
// trigger and the kernel's `mode` of the disk's cache in the scratch /sys.
void BcacheOverSdb(TestBcacheDev& device, IoctlDevice* driver, IoctlDevice* disk, const char* mode)
{
    device.realPaths = {{"/dev/bcache0", "/dev/bcache0"}, {"/dev/sdb", "/dev/sdb"},
                        {"/sys/block/bcache0/bcache", "/sys/devices/virtual/block/sdb/bcache"}};
    device.existing["/sys/devices/virtual/block/sdb/bcache"] = true;
    device.devices = {{"/dev/bcache0", driver}, {"/dev/sdb", disk}};
    MakeFile(TEST_RESCAN, "");
    MakeFile("/sys/block/sdb/queue/write_cache", mode);
}

// The privilege calls made, in order, each followed by a blank.
std::string PrivilegeCalls()
{
    std::string calls;
    for (const std::string& call : g_privilege.calls) {
        calls += call + " ";
    }
    return calls;
}

TEST(FindCacheOffRecord, WantsABluestoreRecordItCarriesWithItsDbElsewhere)
{
    const OsdInfo filestore = Record("bcache0", ENGINE_FILESTORE, "", "");
    const OsdInfo colocated = Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/bcache0");
    const struct {
        const char* name;
        std::vector<OsdInfo> records;
        int expected;  // index of the record found, -1 for none
        int carried;   // FindCarriedRecord's, -1 for none
    } rows[] = {
        {"nothing known", {}, -1, -1},
        {"DB on another device", {SEPARATE_DB}, 0, 0},
        {"DB on the block device", {colocated}, -1, 0},
        {"no links at all", {Record("bcache0", ENGINE_BLUESTORE, "", "")}, -1, 0},
        {"a longer device name", {Record("bcache01", ENGINE_BLUESTORE, "/dev/bcache01", "/dev/sdz")}, -1, -1},
        {"unknown type", {Record("bcache0", ENGINE_UNKNOWN, "/dev/bcache0", "/dev/sdz")}, -1, 0},
        {"the first of several", {Record("bcache1", ENGINE_BLUESTORE, "a", "b"), SEPARATE_DB, SEPARATE_DB}, 1, 1},
        {"the second of its devices", {Record("bcache1 bcache0", ENGINE_BLUESTORE, "/dev/vg/lv", "/dev/sdz")}, 0, 0},
        {"a bluestore OSD before a filestore one", {filestore, colocated}, -1, 1},
        {"a filestore OSD alone", {Record("bcache1", ENGINE_BLUESTORE, "a", "b"), filestore}, -1, 1},
    };
    for (const auto& row : rows) {
        const OsdInfo* found = FindCacheOffRecord(row.records, "bcache0");
        EXPECT_EQ(found == nullptr ? -1 : found - row.records.data(), row.expected) << row.name;
        const OsdInfo* carried = FindCarriedRecord(row.records, "bcache0");
        EXPECT_EQ(carried == nullptr ? -1 : carried - row.records.data(), row.carried) << row.name;
    }
}

// An unprivileged daemon (effective user 1000) is root for the flush and for
// opening the driver's node, nothing more, and stops when it cannot drop back.
TEST(DeviceSteps, RaisePrivilegeForTheFlushAndTheOpenAlone)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const char* window = "setuid(0) seteuid(1000) ";
    const struct {
        const char* name;
        bool records, setuidFails, seteuidFails;
        int result;
        size_t flushes;
        std::string calls;
        const char* requestUsers;  // effective user at each driver request
        const char* lastMessage;
    } rows[] = {
        {"flushed and tuned", true, false, false, 0, 1, std::string(window) + window, "{ 1000, 1000 }",
         "[INFO][sync device sdb return 0]"},
        {"raise fails", true, true, false, -1, 0, "setuid(0) setuid(0) ", "{}",
         "[ERROR][setuid(0) failed: Operation not permitted ]"},
        {"drop after the flush fails", true, false, true, ERR_PRIVILEGE, 1, window, "{}",
         "[ERROR][seteuid(1000) failed: Operation not permitted ]"},
        {"drop after the open fails", false, false, true, ERR_PRIVILEGE, 0, window, "{}", "[ERROR][seteuid failed]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchMount sys("/sys");
        LogCapture log;
        ASSERT_TRUE(sys.ok() && log.ok());
        SimBcache driver;
        SilentDisk backingDisk;
        TestBcacheDev device("bcache0");
        BcacheOverSdb(device, &driver, &backingDisk, "write back\n");
        g_privilege = {1000, row.setuidFails, row.seteuidFails, false, {}};

        DiskWatch watch;
        EXPECT_EQ(RunDeviceSteps(device, row.records ? std::vector<OsdInfo>{SEPARATE_DB} : std::vector<OsdInfo>{}, watch),
                  row.result);
        EXPECT_EQ(device.scsiSteps.empty() ? 0u : 1u, row.flushes);
        EXPECT_EQ(PrivilegeCalls(), row.calls);
        EXPECT_EQ(testing::PrintToString(device.requestUsers), row.requestUsers);
        EXPECT_EQ(device.openDescriptors, 0);
        EXPECT_EQ(log.Messages().back(), row.lastMessage);
    }
}

// The kernel's "write through" no longer ends the check: the disk is asked,
// with one read-only command in its own privileged window, and only a disk
// that says on is switched.
TEST(DeviceSteps, AskTheDiskWhenTheKernelSaysWriteThrough)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const char* window = "setuid(0) seteuid(1000) ";
    const struct {
        const char* name;
        const char* mode;
        std::function<void(SimDisk&)> setup;
        bool flushed;
        size_t asked;  // read-only commands the disk received (the switch itself is replaced)
        std::vector<std::string> messages;
    } rows[] = {
        {"disk says on", "write through\n", [](SimDisk&) {}, true, 1,
         {"[INFO][write cache of sdb: the disk says on, the kernel says write through]",
          "[INFO][change config of sdb succeed]", "[INFO][rescan dev sdb return 0]", "[INFO][sync device sdb return 0]"}},
        {"disk agrees", "write through\n", [](SimDisk& d) { d.wce = false; }, false, 1, {}},
        // Ten-byte, then six-byte: neither answers, and nothing is logged.
        {"disk cannot tell", "write through\n", [](SimDisk& d) { d.unsupportedOpcodes = {0x5a, 0x1a}; }, false, 2,
         {}},
        {"kernel says write back", "write back\n", [](SimDisk& d) { d.wce = false; }, true, 0,
         {"[INFO][change config of sdb succeed]", "[INFO][rescan dev sdb return 0]", "[INFO][sync device sdb return 0]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchMount sys("/sys");
        LogCapture log;
        ASSERT_TRUE(sys.ok() && log.ok());
        SimBcache driver;
        SimDisk disk(SimDisk::Kind::Scsi);
        row.setup(disk);
        TestBcacheDev device("bcache0");
        BcacheOverSdb(device, &driver, &disk, row.mode);
        g_privilege = {1000, false, false, false, {}};

        DiskWatch watch;
        (void)RunDeviceSteps(device, {SEPARATE_DB}, watch);
        EXPECT_EQ(!device.scsiSteps.empty(), row.flushed);
        EXPECT_EQ(disk.Cdbs().size(), row.asked);
        EXPECT_EQ(log.Messages(), row.messages);
        const bool read = std::string(row.mode) == "write through\n";
        EXPECT_EQ(PrivilegeCalls(), std::string(read ? window : "") + (row.flushed ? window : "") + window);
        EXPECT_EQ(device.openDescriptors, 0);
    }
}

} // namespace
