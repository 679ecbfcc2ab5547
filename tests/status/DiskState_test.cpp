#include "status/DiskState.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "scsi/ScsiCmd.h"
#include "status/StatusCommand.h"
#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"
#include "support/ScratchFiles.h"
#include "support/SimDisk.h"
#include "sys/Status.h"

namespace
{

using Kind = SimDisk::Kind;

TEST(ReadTransport, TellsHowTheDiskIsAttachedFromSysfs)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    ScratchMount sys("/sys");
    ASSERT_TRUE(sys.ok());
    MakeFile("/sys/block/sda/device/vendor", "ATA     \n");
    MakeFile("/sys/block/sdb/device/vendor", "SEAGATE \n");
    MakeFile("/sys/block/sdc/device/vendor", "ATAPI   \n");
    const struct {
        const char* disk;
        const char* resolved; // realpath of /sys/block/<disk>, if any
        bool partition;
        const char* transport;
    } rows[] = {
        {"sda", nullptr, false, TRANSPORT_SATA},
        {"sdb", nullptr, false, TRANSPORT_SCSI},
        {"sdc", nullptr, false, TRANSPORT_SCSI},
        {"vda", "/sys/devices/pci0000:00/0000:00:04.0/virtio1/block/vda", false, TRANSPORT_UNKNOWN},
        {"nvme0n1", nullptr, false, TRANSPORT_NVME},
        {"ns0", "/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme0/ns0", false, TRANSPORT_NVME},
        {"sda1", nullptr, true, TRANSPORT_PARTITION},
    };
    for (const auto& row : rows) {
        FakeKernel<SystemApi> api;
        if (row.resolved != nullptr) {
            api.realPaths[std::string("/sys/block/") + row.disk] = row.resolved;
        }
        if (row.partition) {
            api.existing[std::string("/sys/class/block/") + row.disk + "/partition"] = true;
        }
        EXPECT_EQ(ReadTransport(api, row.disk), row.transport) << row.disk;
    }
}

// The report asks the disk with MODE SENSE alone, whatever it answers, and
// is root only while it does.
TEST(ReadDiskWriteCache, SendsOnlyModeSenseAndReadsTheCachingPage)
{
    const struct {
        const char* name;
        Kind kind;
        bool wce;
        std::set<unsigned char> unsupported;
        const char* transport;
        int expected;
        size_t commands;
    } rows[] = {
        {"SCSI disk, cache on", Kind::Scsi, true, {}, TRANSPORT_SCSI, DISK_CACHE_ON, 2},
        {"SATA disk, cache off", Kind::Sata, false, {}, TRANSPORT_SATA, DISK_CACHE_OFF, 2},
        {"six-byte form only", Kind::Scsi, false, {0x5a}, TRANSPORT_SCSI, DISK_CACHE_OFF, 3},
        {"no mode pages at all", Kind::Scsi, true, {0x5a, 0x1a}, TRANSPORT_SCSI, DISK_CACHE_NOT_ASKED, 2},
        {"NVMe is left to its own reader", Kind::Scsi, true, {}, TRANSPORT_NVME, DISK_CACHE_NOT_ASKED, 0},
        {"so is a partition", Kind::Scsi, true, {}, TRANSPORT_PARTITION, DISK_CACHE_NOT_ASKED, 0},
    };
    for (const auto& row : rows) {
        FakePrivilege::Reset();
        g_privilege.euid = 1000;
        SimDisk disk(row.kind);
        disk.wce = row.wce;
        disk.unsupportedOpcodes = row.unsupported;
        FakeKernel<ScsiCmd> scsi;
        scsi.realPaths["/dev/sdb"] = "/dev/sdb";
        scsi.devices["/dev/sdb"] = &disk;
        EXPECT_EQ(ReadDiskWriteCache(scsi, "sdb", row.transport), row.expected) << row.name;
        ASSERT_EQ(disk.Cdbs().size(), row.commands) << row.name;
        for (const auto& cdb : disk.Cdbs()) {
            EXPECT_TRUE(cdb[0] == 0x5a || cdb[0] == 0x1a) << row.name << ": opcode " << int(cdb[0]);
            EXPECT_EQ(cdb[2] >> 6, 0) << row.name << ": current values";
        }
        EXPECT_EQ(scsi.openDescriptors, 0) << row.name;
        EXPECT_EQ(g_privilege.euid, 1000u) << row.name;
    }
    FakePrivilege::Reset();
}

TEST(ReadDiskWriteCache, StopsWhenPrivilegeCannotBeDroppedAgain)
{
    FakePrivilege::Reset();
    g_privilege.euid = 1000;
    g_privilege.seteuidFails = true;
    SimDisk disk(Kind::Scsi);
    FakeKernel<ScsiCmd> scsi;
    scsi.realPaths["/dev/sdb"] = "/dev/sdb";
    scsi.devices["/dev/sdb"] = &disk;
    EXPECT_EQ(ReadDiskWriteCache(scsi, "sdb", TRANSPORT_SCSI), ERR_PRIVILEGE);
    FakePrivilege::Reset();
}

// A textfile collector must never read half a report.
TEST(ReplaceFile, RenamesACompleteReadableFileOverTheOldOne)
{
    char dir[] = "/tmp/quelvar-replace.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/quelvar.prom";
    MakeFile(path, "old\n");
    EXPECT_EQ(ReplaceFile(path, "quelvar_status 0\n"), 0);
    EXPECT_EQ(ReadFile(path), "quelvar_status 0\n");
    struct stat st {
    };
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(ReplaceFile(std::string(dir) + "/missing/quelvar.prom", "x"), ENOENT);
    const auto entries = std::filesystem::directory_iterator(dir);
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 1) << "a file left beside it";
    std::filesystem::remove_all(dir);
}

} // namespace
