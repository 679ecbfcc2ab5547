// Both steps of a device in their order, with their privileged windows.
#include "daemon/DeviceSteps.h"

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

// An unprivileged daemon (effective user 1000) is root for the flush, for
// opening the driver's node and for reading the disk, nothing more, and stops
// when it cannot drop back. The kernel's "write through" does not end the
// check: the disk is asked, with one read-only command in its own window, and
// only a disk that says on is switched. An NVMe namespace's view is not read
// at all: its switch asks the disk first. The disk is found through sysfs once.
TEST(DeviceSteps, RaisePrivilegeForEachStepAndAskTheDiskWhenTheKernelSaysWriteThrough)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const std::string window = "setuid(0) seteuid(1000) ";
    const std::string switched = "[INFO][change config of sdb succeed]";
    const std::string rescanned = "[INFO][rescan dev sdb return 0]";
    const std::string synced = "[INFO][sync device sdb return 0]";
    const struct {
        const char* name;
        const char* mode;
        std::function<void(SimDisk&)> setup;  // null: an NVMe namespace
        bool records, setuidFails, seteuidFails;
        int result;
        bool flushed;
        size_t asked;  // read-only commands the disk received (the SCSI switch itself is replaced)
        std::string calls;
        const char* requestUsers;  // effective user at each request to the driver or the disk
        std::vector<std::string> messages;
    } rows[] = {
        {"flushed and tuned", "write back\n", [](SimDisk&) {}, true, false, false, 0, true, 0, window + window,
         "{ 1000, 1000 }", {switched, rescanned, synced}},
        {"raise fails", "write back\n", [](SimDisk&) {}, true, true, false, -1, false, 0, "setuid(0) setuid(0) ", "{}",
         std::vector<std::string>(2, "[ERROR][setuid(0) failed: Operation not permitted ]")},
        {"drop after the flush fails", "write back\n", [](SimDisk&) {}, true, false, true, ERR_PRIVILEGE, true, 0,
         window, "{}", {switched, rescanned, synced, "[ERROR][seteuid(1000) failed: Operation not permitted ]"}},
        {"drop after the open fails", "write back\n", [](SimDisk&) {}, false, false, true, ERR_PRIVILEGE, false, 0,
         window, "{}", {"[ERROR][seteuid failed]"}},
        {"disk says on", "write through\n", [](SimDisk&) {}, true, false, false, 0, true, 1, window + window + window,
         "{ 0, 1000, 1000 }",
         {"[INFO][write cache of sdb: the disk says on, the kernel says write through]", switched, rescanned, synced}},
        {"disk agrees", "write through\n", [](SimDisk& d) { d.wce = false; }, true, false, false, 0, false, 1,
         window + window, "{ 0, 1000, 1000 }", {}},
        // Ten-byte, then six-byte: neither answers, and nothing is logged.
        {"disk cannot tell", "write through\n", [](SimDisk& d) { d.unsupportedOpcodes = {0x5a, 0x1a}; }, true, false,
         false, 0, false, 2, window + window, "{ 0, 0, 1000, 1000 }", {}},
        {"NVMe, whatever its view", "write through\n", nullptr, true, false, false, 0, true, 0, window + window,
         "{ 0, 0, 0, 0, 1000, 1000 }", {"[INFO][change config of nvme0n1 succeed]", "[INFO][sync device nvme0n1 return 0]"}},
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
        g_privilege = {1000, row.setuidFails, row.seteuidFails, false, {}};

        DiskWatch watch;
        EXPECT_EQ(RunDeviceSteps(device, row.records ? std::vector<OsdInfo>{SEPARATE_DB} : std::vector<OsdInfo>{}, watch),
                  row.result);
        EXPECT_EQ(!device.scsiSteps.empty() || !nvme.vwc, row.flushed);
        EXPECT_EQ(disk.Cdbs().size(), row.asked);
        EXPECT_EQ(PrivilegeCalls(), row.calls);
        EXPECT_EQ(testing::PrintToString(device.requestUsers), row.requestUsers);
        EXPECT_EQ(log.Messages(), row.messages);
        EXPECT_EQ(std::count_if(device.resolved.begin(), device.resolved.end(),
                                [](const std::string& path) { return path.compare(0, 5, "/sys/") == 0; }),
                  1);
        EXPECT_EQ(device.openDescriptors, 0);
    }
}

} // namespace
