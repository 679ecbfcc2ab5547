// A BcacheDev over a faked kernel whose SCSI write-cache steps are replaced
// by set results, for tests of the steps built on top of them.
#ifndef QUELVAR_TESTS_SUPPORT_TESTBCACHEDEV_H
#define QUELVAR_TESTS_SUPPORT_TESTBCACHEDEV_H

#include <cerrno>
#include <string>
#include <vector>

#include "bcache/BcacheDev.h"
#include "support/FakeKernel.h"
#include "support/FakePrivilege.h"
#include "support/ScratchFiles.h"

constexpr const char* TEST_RESCAN = "/sys/block/sdb/device/rescan";

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

#endif
