#include "writecache/WriteCacheStep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/LogCapture.h"
#include "support/SimBcache.h"
#include "support/SimDisk.h"
#include "support/SimNvme.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

namespace {

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

// The kernel's "write through" no longer ends the check: the disk is asked,
// with one read-only command in its own privileged window, and only a disk
// that says on is switched. An NVMe namespace's view is not read at all: its
// switch asks the disk first. The disk is found through sysfs once.
TEST(WriteCacheStep, AsksTheDiskWhenTheKernelSaysWriteThrough)
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
        {"NVMe, whatever its view", "write through\n", nullptr, true, 0,
         {"[INFO][change config of nvme0n1 succeed]", "[INFO][sync device nvme0n1 return 0]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchMount sys("/sys");
        LogCapture log;
        ASSERT_TRUE(sys.ok() && log.ok());
        SimBcache driver;
        SimDisk disk(SimDisk::Kind::Scsi);
        SimNvme nvme;
        TestBcacheDev device("bcache0");
        if (row.setup != nullptr) {
            row.setup(disk);
            BcacheOver(device, &driver, &disk, row.mode);
        } else {
            BcacheOver(device, &driver, &nvme, row.mode, "nvme0n1", "/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme0/nvme0n1");
        }
        g_privilege = {1000, false, false, false, {}};

        DiskWatch watch;
        (void)WriteCacheStep(device, {SEPARATE_DB}, watch);
        EXPECT_EQ(!device.scsiSteps.empty() || !nvme.vwc, row.flushed);
        EXPECT_EQ(disk.Cdbs().size(), row.asked);
        EXPECT_EQ(log.Messages(), row.messages);
        const bool read = row.setup != nullptr && std::string(row.mode) == "write through\n";
        EXPECT_EQ(PrivilegeCalls(), std::string(read ? window : "") + (row.flushed ? window : ""));
        EXPECT_EQ(std::count_if(device.resolved.begin(), device.resolved.end(),
                                [](const std::string& path) { return path.compare(0, 5, "/sys/") == 0; }),
                  1);
        EXPECT_EQ(device.openDescriptors, 0);
    }
}

} // namespace
