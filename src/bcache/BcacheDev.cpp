#include "bcache/BcacheDev.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "bcache/BcachePolicy.h"
#include "disk/DiskCache.h"
#include "sys/BlockStack.h"
#include "sys/DeviceNode.h"
#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/Privilege.h"
#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"
#include "sys/Status.h"

namespace {

// One of the driver's two requests on the open node. A refusal is the
// driver's word on this device (a warning, not a failed system call).
// 0 done, -1 refused (logged).
int DriverRequest(SystemApi& api, int fd, unsigned long request, void* record)
{
    if (api.IoctlData(fd, request, record) < 0) {
        const int error = errno;
        LogCondition(LOG_WARNING, "ioctl error:%d %s\n", error, strerror(error));
        return -1;
    }
    return 0;
}

} // namespace

bool IsBcacheDevEntry(const struct dirent& entry)
{
    return entry.d_type == DT_BLK && strncmp(entry.d_name, "bcache", 6) == 0;
}

BcacheDev::BcacheDev(std::string deviceName) : status{}, tuning{}, name(std::move(deviceName)) {}

BcacheDev::~BcacheDev() = default;

int BcacheDev::ResolvePath(const char* path, char* resolved, size_t size)
{
    if (RealPath(path, resolved) == nullptr) {
        const int error = errno;
        LogCondition(LOG_ERROR, "realpath %s %d error:%d %s\n", path, static_cast<int>(size), error,
                     strerror(error));
        return -1;
    }
    return CheckResolved(*this, resolved);
}

int BcacheDev::GetBcacheStatus(int fd)
{
    return DriverRequest(*this, fd, BCACHE_IOC_GET_STATUS, &status);
}

int BcacheDev::SetBcacheTuning(int fd)
{
    return DriverRequest(*this, fd, BCACHE_IOC_SET_TUNING, &tuning);
}

int BcacheDev::TuneBcache()
{
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    if (memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0) {
        return -1;
    }
    if (FormatPath(path, "/dev/%s", name.c_str()) < 0) {
        LogCondition(LOG_ERROR, "snprintf_s /dev/%s error\n", name.c_str());
        return -1;
    }
    if (ResolvePath(path, resolved, sizeof(resolved)) != 0) {
        return -1;
    }

    // Only the open needs root: the driver checks the caller's rights when
    // the node is opened, and the requests then run as the daemon's own user.
    const uid_t saved = geteuid();
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    ScopedFd device(*this, Open(resolved, DEVICE_OPEN_FLAGS, DEVICE_OPEN_MODE));
    if (device.get() < 0) {
        const int error = errno;
        LogCondition(LOG_ERROR, "open %s error:%s\n", resolved, strerror(error));
    }
    // A failed drop is reported by the tuning step, which stops the daemon.
    if (RestorePrivilege(saved, false) == ERR_PRIVILEGE) {
        return ERR_PRIVILEGE;
    }
    if (device.get() < 0) {
        return -1;
    }

    // No tuning request on a status the driver did not give: the record
    // would be derived from zeros.
    if (GetBcacheStatus(device.get()) != 0) {
        return -1;
    }
    tuning = ComputeTuning(status);
    return SetBcacheTuning(device.get());
}

int BcacheDev::GetBackendDev(BackingDisk& disk)
{
    // A partition of a bcache device (bcache5p1, as a raw OSD on a partition
    // leaves it) is no directory of /sys/block: its backing device is its
    // whole device's.
    const std::string whole = WholeBcacheName(name);
    char path[PATH_BUFFER_SIZE];
    if (FormatPath(path, "/sys/block/%s/bcache", whole.c_str()) < 0) {
        LogCondition(LOG_ERROR, "snprintf_s /sys/block/%s/bcache error\n", whole.c_str());
        return -1;
    }
    BackingDisk resolved;
    if (ResolveBackingDevice(*this, path, &resolved) != 0) {
        return -1;
    }
    disk = std::move(resolved);
    return 0;
}

int BcacheDev::GetBackendDev(std::string& disk)
{
    BackingDisk resolved;
    if (GetBackendDev(resolved) != 0) {
        return -1;
    }
    disk = resolved.backing;
    return 0;
}

int BcacheDev::FlushBcache(const BackingDisk& disk)
{
    return SwitchDiskWriteCacheOff(*this, disk);
}

int BcacheDev::FlushBcache()
{
    // Resolved afresh rather than taken from a caller, so the disk touched
    // is the one the link names now. A partition's cache, attributes and
    // rescan are its whole disk's.
    BackingDisk disk;
    if (GetBackendDev(disk) != 0) {
        return -1;
    }
    FindWholeDisk(*this, &disk);
    return FlushBcache(disk);
}
