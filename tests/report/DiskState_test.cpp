#include "disk/Transport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "report/StatusCommand.h"
#include "support/PrivateMounts.h"
#include "support/ScratchFiles.h"

namespace
{

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
        int transport;
        bool partition;
        const char* text;
    } rows[] = {
        {"sda", DISK_TRANSPORT_SCSI, false, "SATA"},
        {"sdb", DISK_TRANSPORT_SCSI, false, "SCSI/SAS"},
        {"sdc", DISK_TRANSPORT_SCSI, false, "SCSI/SAS"},
        {"vda", DISK_TRANSPORT_SCSI, false, "unknown"},
        {"nvme0n1", DISK_TRANSPORT_NVME, false, "NVMe"},
        {"sda", DISK_TRANSPORT_SCSI, true, "partition of sda, SATA"},
        {"nvme0n1", DISK_TRANSPORT_NVME, true, "partition of nvme0n1, NVMe"},
    };
    SystemApi api;
    for (const auto& row : rows) {
        BackingDisk disk;
        disk.name = row.disk;
        disk.dir = std::string("/sys/block/") + row.disk;
        disk.transport = row.transport;
        disk.partition = row.partition;
        EXPECT_EQ(ReadTransport(api, disk), row.text) << row.disk;
    }
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
