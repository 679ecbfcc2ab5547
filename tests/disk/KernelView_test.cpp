// The kernel's view of a disk, for a caller with the whole resolved record
// and for one with only a name: the same attribute, below the directory
// /sys/block/<name> leads to.
#include "disk/KernelView.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "support/PrivateMounts.h"
#include "support/ScratchFiles.h"

namespace {

constexpr const char* DIR = "/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda";

TEST(KernelView, ANameIsResolvedOnceAndHeldToTheCharacterRule)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    ScratchMount sys("/sys");
    LogCapture log;
    ASSERT_TRUE(sys.ok() && log.ok());
    FakePrivilege::Reset();
    MakeFile(std::string(DIR) + "/queue/write_cache", "write through\n");
    MakeFile(std::string(DIR) + "/device/rescan", "");
    MakeFile("/sys/block/vda/queue/write_cache", "none\n");
    ASSERT_EQ(symlink("../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", "/sys/block/sda"),
              0);
    const struct {
        const char* disk;
        int mode;
        const char* rescan;  // what RescanDisk logs
        std::vector<std::string> messages;
    } rows[] = {
        {"sda", WRITE_CACHE_THROUGH, "[INFO][rescan dev sda return 0]", {}},
        {"vda", WRITE_CACHE_UNKNOWN, "[INFO][rescan dev vda return 1]",
         {"[ERROR][open /sys/block/vda/device/rescan failed]"}},
        {"sdz", WRITE_CACHE_UNKNOWN, "[INFO][rescan dev sdz return 1]",
         {"[ERROR][realpath failed]", "[ERROR][realpath failed]"}},
        {"../sda", WRITE_CACHE_UNKNOWN, "[INFO][rescan dev ../sda return 1]",
         {"[WARNING][reject dangerous file path:\"/sys/block/../sda\" ]",
          "[WARNING][reject dangerous file path:\"/sys/block/../sda\" ]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.disk);
        log.Clear();
        EXPECT_EQ(QueryWriteCacheMode(row.disk), row.mode);
        EXPECT_EQ(RescanDisk(row.disk), 0);
        std::vector<std::string> messages = row.messages;
        messages.push_back(row.rescan);
        EXPECT_EQ(log.Messages(), messages);
    }
    EXPECT_EQ(ReadFile(std::string(DIR) + "/device/rescan"), "1");
}

} // namespace
