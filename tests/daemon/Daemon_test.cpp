#include "daemon/Daemon.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "sys/Status.h"

namespace {

// The main loop with recorded steps, over a /dev of the test's own (only
// block devices named bcache* count; tmpfs reports each entry's type), and a
// pause that stops the daemon after a given number of passes.
class RecordingDaemon : public Daemon {
public:
    int perPassResult = 0, deviceResult = -1, passes = 1, pauses = 0;
    std::multiset<std::string> devices;

protected:
    int PerPassStep(OsdInfoMap& /*inventory*/) override { return perPassResult; }
    int DeviceSteps(const std::string& name, const OsdInfoMap& /*inventory*/) override
    {
        devices.insert(name);
        return deviceResult;
    }
    void Pause() override
    {
        if (++pauses >= passes) {
            HandleSigterm(SIGTERM);
        }
    }
};

TEST(Daemon, WalksBcacheBlockDevicesUntilStoppedOrPrivilegeIsLost)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    ScratchMount dev("/dev");
    ScratchMount run("/run");
    ASSERT_TRUE(dev.ok() && run.ok());
    for (auto [name, type] : {std::pair{"bcache0", S_IFBLK}, {"bcache", S_IFBLK}, {"bcache0p1", S_IFBLK},
                              {"sda", S_IFBLK}, {"bcache9", S_IFCHR}, {"bcache-fifo", S_IFIFO}}) {
        ASSERT_EQ(mknod((std::string("/dev/") + name).c_str(), type | 0600, makedev(7, 0)), 0) << name;
    }
    ASSERT_EQ(symlink("bcache0", "/dev/bcache7"), 0);
    const struct {
        const char* name;
        int perPassResult, deviceResult, passes;
        size_t visits;
        int pauses;
    } rows[] = {
        // Three devices, twice: a failing device step is retried next pass.
        {"until SIGTERM", 0, -1, 2, 6, 2},
        {"privilege lost in a device step: the walk ends, then the daemon after the pause", 0, ERR_PRIVILEGE, 9, 1,
         1},
        {"privilege lost in the per-pass step: at once", ERR_PRIVILEGE, -1, 9, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakePrivilege::Reset();
        running = 1;
        LogCapture log;
        RecordingDaemon daemon;
        daemon.perPassResult = row.perPassResult;
        daemon.deviceResult = row.deviceResult;
        daemon.passes = row.passes;
        EXPECT_EQ(daemon.Run(), 0);
        EXPECT_EQ(daemon.devices.size(), row.visits);
        if (row.visits == 6) {
            EXPECT_EQ(std::set<std::string>(daemon.devices.begin(), daemon.devices.end()),
                      (std::set<std::string>{"bcache", "bcache0", "bcache0p1"}));
        }
        EXPECT_EQ(daemon.pauses, row.pauses);
        EXPECT_THAT(log.Messages(), testing::ElementsAre("[INFO][quelvar start]", "[INFO][quelvar stop]"));
    }
    running = 1;
}

} // namespace
