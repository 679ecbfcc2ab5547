// One bcache block device of /dev, for one directory entry of one pass:
// its tuning through the driver and the link to its backing disk.
#ifndef QUELVAR_BCACHE_BCACHEDEV_H
#define QUELVAR_BCACHE_BCACHEDEV_H

#include <dirent.h>

#include <cstddef>
#include <string>

#include "bcache/BcacheRecords.h"
#include "disk/BackingDisk.h"
#include "scsi/ScsiCmd.h"

// Where the bcache block devices are found, by the pass and the report.
constexpr const char* DEV_DIR = "/dev";

// True for a block device whose name begins with "bcache" (bcache0,
// bcache0p1 and the bare name bcache alike).
[[nodiscard]] bool IsBcacheDevEntry(const struct dirent& entry);

class BcacheDev : public ScsiCmd {
public:
    // No system call here: a test's facade overrides are not reached yet.
    explicit BcacheDev(std::string name);
    ~BcacheDev() override;
    BcacheDev(const BcacheDev&) = delete;
    BcacheDev& operator=(const BcacheDev&) = delete;

    // Reads the status record, derives the tuning record and writes it back.
    // The tuning request's result (0 or -1), -1 for an earlier failure,
    // ERR_PRIVILEGE when the return to the saved user failed (not logged
    // here: the tuning step reports it).
    [[nodiscard]] int TuneBcache();
    // BCACHE_IOC_GET_STATUS into the status record. 0 done, -1 failed.
    [[nodiscard]] int GetBcacheStatus(int fd);
    // BCACHE_IOC_SET_TUNING from the tuning record. 0 done, -1 failed.
    [[nodiscard]] int SetBcacheTuning(int fd);
    // realpath then an existence test. 0 done, -1 failed (logged).
    [[nodiscard]] int ResolvePath(const char* path, char* resolved, size_t size);

    // Resolves the backing device through the device's sysfs link, with one
    // realpath; a partition of a bcache device (bcache5p1) has no link of
    // its own, and its whole device's is taken. 0 with disk.backing and
    // disk.backingDir set (FindWholeDisk completes the rest), -1 failed
    // (logged; `disk` unchanged).
    [[nodiscard]] int GetBackendDev(BackingDisk& disk);
    // The same, for a caller that wants the backing device's name alone.
    [[nodiscard]] int GetBackendDev(std::string& disk);
    // Switches the volatile write cache of the resolved backing disk (the
    // whole disk of a partition) off, rescans and syncs it (disk/ does the
    // work). Runs with effective user 0. 0 done, 1 the switch failed, -1 any
    // other failure, ERR_PRIVILEGE from the rescan's privilege drop.
    [[nodiscard]] int FlushBcache(const BackingDisk& disk);
    // The same, resolving the backing disk afresh first.
    [[nodiscard]] int FlushBcache();

    [[nodiscard]] const std::string& Name() const { return name; }
    [[nodiscard]] const BcacheStatus& Status() const { return status; }
    [[nodiscard]] const BcacheTuning& Tuning() const { return tuning; }

private:
    BcacheStatus status;
    BcacheTuning tuning;
    std::string name;
};

#endif
