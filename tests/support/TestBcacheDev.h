// A BcacheDev over a faked kernel whose SCSI write-cache steps are replaced
// by set results, for tests of the steps built on top of them.
#ifndef QUELVAR_TESTS_SUPPORT_TESTBCACHEDEV_H
#define QUELVAR_TESTS_SUPPORT_TESTBCACHEDEV_H

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "bcache/BcacheDev.h"
#include "osd/OsdInfo.h"
#include "support/FakeKernel.h"
#include "support/FakePrivilege.h"
#include "support/ScratchFiles.h"

// sdb's place in sysfs, as the realpath of bcache0's link finds it, and its
// rescan trigger there.
inline const std::string TEST_DISK_DIR = "/sys/devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sdb";
inline const std::string TEST_RESCAN = TEST_DISK_DIR + "/device/rescan";

// The backing disk's node: the SCSI steps are replaced below, so no ioctl
// reaches it.
class SilentDisk : public IoctlDevice {
public:
    int HandleIoctl(unsigned long /*request*/, void* /*argument*/) override
    {
        errno = ENOTTY;
        return -1;
    }
};

// A BcacheDev over a faked kernel whose SCSI write-cache steps give set
// results and note when they ran, and what the rescan trigger held then.
class TestBcacheDev : public FakeKernel<BcacheDev> {
public:
    using FakeKernel<BcacheDev>::FakeKernel;

    int setWriteCacheResult = 0;
    int syncResult = 0;
    std::vector<std::string> scsiSteps;
    std::vector<uid_t> requestUsers;  // effective user at each driver request

    int IoctlData(int fd, unsigned long request, void* record) override
    {
        requestUsers.push_back(g_privilege.euid);
        return FakeKernel<BcacheDev>::IoctlData(fd, request, record);
    }
    int SetWriteCache(int fd, int wanted) override
    {
        scsiSteps.push_back("SetWriteCache(" + std::to_string(fd) + ", " + std::to_string(wanted) + ")");
        return setWriteCacheResult;
    }
    int SyncCache(int fd) override
    {
        scsiSteps.push_back("SyncCache(" + std::to_string(fd) + ") after rescan \"" + ReadFile(TEST_RESCAN) + "\"");
        return syncResult;
    }
};

// bcache0 over the whole disk `name` whose sysfs directory is `dir`, as
// sysfs links them, with the rescan trigger and the kernel's `mode` of the
// disk's cache in the scratch /sys.
inline void BcacheOver(TestBcacheDev& device, IoctlDevice* driver, IoctlDevice* disk, const char* mode,
                       const std::string& name = "sdb", const std::string& dir = TEST_DISK_DIR)
{
    device.realPaths = {{"/dev/bcache0", "/dev/bcache0"}, {"/dev/" + name, "/dev/" + name},
                        {"/sys/block/bcache0/bcache", dir + "/bcache"}};
    device.existing[dir + "/bcache"] = true;
    device.devices = {{"/dev/bcache0", driver}, {"/dev/" + name, disk}};
    MakeFile(dir + "/device/rescan", "");
    MakeFile(dir + "/queue/write_cache", mode);
}

// An OSD record; `devices`: the bcache devices carrying it, separated by
// blanks.
inline OsdInfo Record(const char* devices, int32_t engine, const char* blockLink, const char* dbLink)
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

// A bluestore OSD on bcache0 with its DB elsewhere: its disk is guarded.
inline const OsdInfo SEPARATE_DB = Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/nvme0n1p1");

// The privilege calls made, in order, each followed by a blank.
inline std::string PrivilegeCalls()
{
    std::string calls;
    for (const std::string& call : g_privilege.calls) {
        calls += call + " ";
    }
    return calls;
}

#endif
