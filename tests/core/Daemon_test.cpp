#include "core/Daemon.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "support/FakePrivilege.h"
#include "support/LogFile.h"
#include "sys/Status.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::UnorderedElementsAre;

struct dirent Entry(const char* name, unsigned char type)
{
    struct dirent entry {};
    std::snprintf(entry.d_name, sizeof(entry.d_name), "%s", name);
    entry.d_type = type;
    return entry;
}

TEST(IsBcacheDevEntry, AcceptsBlockDevicesNamedBcacheOnly)
{
    struct Case {
        const char* name;
        unsigned char type;
        bool accepted;
    } cases[] = {
        {"bcache0", DT_BLK, true},   {"bcache12", DT_BLK, true}, {"bcache0p1", DT_BLK, true},
        {"bcache", DT_BLK, true},    {"bcach", DT_BLK, false},   {"Bcache0", DT_BLK, false},
        {"sda", DT_BLK, false},      {"bcache0", DT_CHR, false}, {"bcache0", DT_DIR, false},
        {"bcache0", DT_LNK, false},  {"bcache0", DT_UNKNOWN, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsBcacheDevEntry(Entry(c.name, c.type)), c.accepted) << c.name << " type " << int(c.type);
    }
}

// The main loop over a device directory of the test's own, with recorded
// steps and a pause that ends the daemon after a given number of passes.
class RecordingDaemon : public Daemon {
public:
    std::string devDir;
    int prepareResult = 0;
    int perPassResult = 0;
    int passesBeforeSigterm = 1;
    std::string privilegeLossAt;  // device whose steps report ERR_PRIVILEGE
    int perPassCalls = 0;
    int pauses = 0;
    std::vector<std::string> devices;

protected:
    int PrepareLog() override { return prepareResult; }
    int PerPassStep(OsdInfoMap& /*inventory*/) override
    {
        ++perPassCalls;
        return perPassResult;
    }
    int DeviceSteps(const std::string& name, const OsdInfoMap& /*inventory*/) override
    {
        devices.push_back(name);
        return name == privilegeLossAt ? ERR_PRIVILEGE : -1;
    }
    const char* DevDir() const override { return devDir.c_str(); }
    void Pause() override
    {
        if (++pauses >= passesBeforeSigterm) {
            HandleSigterm(SIGTERM);
        }
    }
};

class DaemonTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        FakePrivilege::Reset();
        running = 1;
        log = std::make_unique<ScratchLog>();
        ASSERT_TRUE(log->ok());
        char pattern[] = "/tmp/quelvar-dev-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = daemon.devDir = pattern;
        devMount = std::make_unique<ScratchMount>(base);
        ASSERT_TRUE(devMount->ok());
    }

    void TearDown() override
    {
        devMount.reset();
        if (!base.empty()) {
            (void)rmdir(base.c_str());
        }
        running = 1;
    }

    void Node(const char* name, mode_t type)
    {
        std::string path = daemon.devDir + "/" + name;
        ASSERT_EQ(mknod(path.c_str(), type | 0600, makedev(7, 0)), 0) << path;
    }

    RecordingDaemon daemon;
    std::string base;
    std::unique_ptr<ScratchLog> log;
    std::unique_ptr<ScratchMount> devMount;
};

TEST_F(DaemonTest, WalksOnlyBcacheBlockDevicesAndStopsOnSigterm)
{
    Node("bcache0", S_IFBLK);
    Node("bcache", S_IFBLK);
    Node("bcache0p1", S_IFBLK);
    Node("sda", S_IFBLK);
    Node("bcache9", S_IFCHR);
    ASSERT_EQ(mkdir((daemon.devDir + "/bcache-dir").c_str(), 0755), 0);
    daemon.passesBeforeSigterm = 2;

    EXPECT_EQ(daemon.Run(), 0);
    EXPECT_EQ(daemon.perPassCalls, 2);
    EXPECT_EQ(daemon.pauses, 2);
    std::sort(daemon.devices.begin(), daemon.devices.end());
    EXPECT_THAT(daemon.devices, ElementsAre("bcache", "bcache", "bcache0", "bcache0", "bcache0p1", "bcache0p1"))
        << "a failing device step is retried on the next pass";
    EXPECT_THAT(log->Messages(), ElementsAre("[INFO][quelvar start]", "[INFO][quelvar stop]"));
}

TEST_F(DaemonTest, FailedStartLogsNothing)
{
    daemon.prepareResult = -1;
    EXPECT_EQ(daemon.Run(), -1);
    EXPECT_EQ(daemon.perPassCalls, 0);
    EXPECT_THAT(log->Lines(), IsEmpty());
}

TEST_F(DaemonTest, PrivilegeLossInADeviceStepEndsTheWalkThenStopsAfterThePause)
{
    Node("bcache0", S_IFBLK);
    Node("bcache1", S_IFBLK);
    Node("bcache2", S_IFBLK);
    daemon.passesBeforeSigterm = 100;
    // Whichever device the directory lists first reports the loss.
    DIR* dir = opendir(daemon.devDir.c_str());
    ASSERT_NE(dir, nullptr);
    for (struct dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (IsBcacheDevEntry(*e) && daemon.privilegeLossAt.empty()) {
            daemon.privilegeLossAt = e->d_name;
        }
    }
    closedir(dir);

    EXPECT_EQ(daemon.Run(), 0);
    EXPECT_THAT(daemon.devices, ElementsAre(daemon.privilegeLossAt));
    EXPECT_EQ(daemon.pauses, 1) << "the pause follows the abandoned walk";
    EXPECT_EQ(daemon.perPassCalls, 1);
    EXPECT_THAT(log->Messages(), ElementsAre("[INFO][quelvar start]", "[INFO][quelvar stop]"));
}

TEST_F(DaemonTest, PrivilegeLossInThePerPassStepStopsAtOnce)
{
    Node("bcache0", S_IFBLK);
    daemon.perPassResult = ERR_PRIVILEGE;
    EXPECT_EQ(daemon.Run(), 0);
    EXPECT_THAT(daemon.devices, IsEmpty());
    EXPECT_EQ(daemon.pauses, 0);
    EXPECT_THAT(log->Messages(), ElementsAre("[INFO][quelvar start]", "[INFO][quelvar stop]"));
}

TEST_F(DaemonTest, UnreadableDeviceDirectoryEndsTheDaemonWithoutStopLine)
{
    daemon.devDir += "/missing";
    EXPECT_EQ(daemon.Run(), -1);
    EXPECT_THAT(log->Messages(),
                ElementsAre("[INFO][quelvar start]", "[ERROR][opendir [/dev] error:2 No such file or directory]"));
}

} // namespace
