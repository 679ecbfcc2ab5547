// Finding the backing disk over a faked kernel: sysfs as Linux 6.1 lays it
// out, resolved once and never by name again.
#include "disk/BackingDisk.h"

#include <gtest/gtest.h>

#include "support/FakeKernel.h"

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
        // NVMe over Fabrics: no "nvme" directory on the way, the name tells.
        {"/sys/devices/virtual/nvme-fabrics/ctl/nvme1/nvme1n2/bcache", false, "nvme1n2", "nvme1n2", DISK_TRANSPORT_NVME},
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

} // namespace
