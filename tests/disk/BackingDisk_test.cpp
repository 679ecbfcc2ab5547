// Finding the backing disk over a faked kernel: sysfs as Linux 6.1 lays it
// out, resolved once and never by name again.
#include "disk/BackingDisk.h"

#include <gtest/gtest.h>

#include "support/FakeKernel.h"
#include "support/LogCapture.h"
#include "support/PrivateMounts.h"
#include "support/ScratchFiles.h"

namespace {

TEST(ResolveBackingDevice, FindsTheWholeDiskAndItsTransportFromOneRealpath)
{
    const char* pci = "/sys/devices/pci0000:00/0000:00:04.0/virtio1/host0/target0:0:0/0:0:0:0/block";
    const char* nvme = "/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme0";
    const std::string subsystem = "/sys/devices/virtual/nvme-subsystem/nvme-subsys0";
    const struct {
        std::string link;  // where /sys/block/bcache0/bcache resolves
        bool partition;
        const char* backing;
        const char* disk;
        int transport;
    } rows[] = {
        {std::string(pci) + "/sda/bcache", false, "sda", "sda", DISK_TRANSPORT_SCSI},
        {std::string(pci) + "/sda/sda1/bcache", true, "sda1", "sda", DISK_TRANSPORT_SCSI},
        {std::string(nvme) + "/nvme0n1/bcache", false, "nvme0n1", "nvme0n1", DISK_TRANSPORT_NVME},
        {std::string(nvme) + "/nvme0n1/nvme0n1p2/bcache", true, "nvme0n1p2", "nvme0n1", DISK_TRANSPORT_NVME},
        {subsystem + "/nvme0n1/bcache", false, "nvme0n1", "nvme0n1", DISK_TRANSPORT_NVME},
        // A disk whose name merely starts like one is told by its place.
        {std::string(pci) + "/nvme_like/bcache", false, "nvme_like", "nvme_like", DISK_TRANSPORT_SCSI},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.link);
        FakeKernel<SystemApi> kernel;
        kernel.realPaths["/sys/block/bcache0/bcache"] = row.link;
        kernel.existing[row.link] = true;
        const std::string dir = row.link.substr(0, row.link.rfind('/'));
        if (row.partition) {
            kernel.existing[dir + "/partition"] = true;
        }
        BackingDisk disk;
        ASSERT_EQ(ResolveBackingDevice(kernel, "/sys/block/bcache0/bcache", &disk), 0);
        FindWholeDisk(kernel, &disk);
        EXPECT_EQ(disk.backing, row.backing);
        EXPECT_EQ(disk.backingDir, dir);
        EXPECT_EQ(disk.name, row.disk);
        EXPECT_EQ(disk.dir, row.partition ? dir.substr(0, dir.rfind('/')) : dir);
        EXPECT_EQ(disk.transport, row.transport);
        EXPECT_EQ(disk.partition, row.partition);
    }
}

// Attributes are read below the canonical directory, whose ":" and "." the
// character rule of checked file access would refuse, and never resolved
// again; a disk without its state attribute is taken at its word.
TEST(DiskAttributes, AreReadBelowTheResolvedDirectory)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    ScratchMount sys("/sys");
    LogCapture log;
    ASSERT_TRUE(sys.ok() && log.ok());
    FakeKernel<SystemApi> kernel;
    BackingDisk disk;
    disk.name = "sdb";
    disk.dir = "/sys/devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sdb";
    std::string state;
    EXPECT_TRUE(DiskTakesCommands(kernel, disk, &state));
    MakeFile(disk.dir + "/device/state", "offline\n");
    EXPECT_FALSE(DiskTakesCommands(kernel, disk, &state));
    EXPECT_EQ(state, "offline");
    EXPECT_EQ(WriteDiskAttribute(kernel, disk, "device/rescan", "1", 1), 1) << "never created";
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"[ERROR][open " + disk.dir + "/device/rescan failed]"});
    EXPECT_EQ(kernel.openDescriptors, 0);
}

} // namespace
