#include "disk/DiskCache.h"

#include <cerrno>
#include <cstring>

#include "disk/KernelView.h"
#include "nvme/NvmeCmd.h"
#include "sys/DeviceNode.h"
#include "sys/Log.h"
#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"

namespace {

// Opens /dev/<disk> after realpath and an existence test, with the
// messages of the write-cache guard. The descriptor, or -1 (logged).
int OpenDisk(SystemApi& api, const std::string& disk)
{
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    if (memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0) {
        return -1;
    }
    if (FormatPath(path, "/dev/%s", disk.c_str()) < 0) {
        WriteLog(LOG_ERROR, "snprintf_s /dev/%s error\n", disk.c_str());
        return -1;
    }
    if (ResolveExisting(api, path, resolved) != 0) {
        return -1;
    }
    const int fd = api.Open(resolved, DEVICE_OPEN_FLAGS, DEVICE_OPEN_MODE);
    if (fd < 0) {
        const int error = errno;
        WriteLog(LOG_ERROR, "open %s error:%d %s\n", resolved, error, strerror(error));
    }
    return fd;
}

// A switch that failed because the disk stopped answering is not logged
// as a refusal: the step reports the silent disk once.
void ReportFailedSwitch(ScsiCmd& commands, const std::string& disk)
{
    if (!commands.Gate().timedOut) {
        WriteLog(LOG_ERROR, "change config of %s failed\n", disk.c_str());
    }
}

// A controller that refuses Get Features of the volatile write cache with
// Invalid Field has none only if the kernel agrees: the nvme driver shows
// "write through" for a namespace whose controller reports no volatile
// cache, and "write back" for one that reports one, on or off.
bool KernelSaysNoCache(ScsiCmd& commands, const BackingDisk& disk)
{
    return QueryWriteCacheMode(commands, disk) == WRITE_CACHE_THROUGH;
}

// NVMe: Set Features, confirmed by Get Features, then a Flush. The kernel
// keeps its attribute at "write back" for a namespace with a volatile cache
// (it tells the cache is there, not that it is on), so there is no rescan.
int SwitchNvme(ScsiCmd& commands, int fd, const BackingDisk& disk)
{
    const int changed = NvmeSetWriteCache(commands, commands.Gate(), fd, 0);
    if (changed == -1 || (changed == NVME_NO_CACHE_FEATURE && KernelSaysNoCache(commands, disk))) {
        return 0;
    }
    if (changed != 0) {
        ReportFailedSwitch(commands, disk.name);
        return 1;
    }
    WriteLog(LOG_INFO, "change config of %s succeed\n", disk.name.c_str());
    // The Flush goes to the controller as it is: the block layer's own flush
    // would be dropped by a kernel that believed the cache absent.
    const int flushed = NvmeFlush(commands, commands.Gate(), fd);
    WriteLog(LOG_INFO, "sync device %s return %d\n", disk.name.c_str(), flushed);
    return 0;
}

int SwitchScsi(ScsiCmd& commands, int fd, const BackingDisk& disk)
{
    const int changed = commands.SetWriteCache(fd, 0);
    if (changed == -1) {
        // The disk's cache is off already. If the block layer still calls it
        // "write back" it has not re-read the disk since; a rescan makes it.
        return QueryWriteCacheMode(commands, disk) == WRITE_CACHE_BACK ? RescanDisk(commands, disk) : 0;
    }
    if (changed == 1) {
        ReportFailedSwitch(commands, disk.name);
        return 1;
    }
    WriteLog(LOG_INFO, "change config of %s succeed\n", disk.name.c_str());
    const int result = RescanDisk(commands, disk);
    // Whatever the volatile cache held before the switch goes to the medium
    // now. Only logged: the cache is off either way.
    const int synced = commands.SyncCache(fd);
    WriteLog(LOG_INFO, "sync device %s return %d\n", disk.name.c_str(), synced);
    return result;
}

} // namespace

int ReadDiskWriteCache(ScsiCmd& commands, const BackingDisk& disk)
{
    ScopedFd device(commands, OpenDisk(commands, disk.name));
    if (device.get() < 0) {
        return DISK_CACHE_UNKNOWN;
    }
    int enabled = 0;
    const int read = disk.transport == DISK_TRANSPORT_NVME
                         ? NvmeGetWriteCache(commands, commands.Gate(), device.get(), &enabled, true)
                         : commands.PeekWriteCache(device.get(), &enabled);
    if (read == NVME_NO_CACHE_FEATURE && KernelSaysNoCache(commands, disk)) {
        return DISK_CACHE_OFF;
    }
    if (read != 0) {
        return DISK_CACHE_UNKNOWN;
    }
    return enabled != 0 ? DISK_CACHE_ON : DISK_CACHE_OFF;
}

int SwitchDiskWriteCacheOff(ScsiCmd& commands, const BackingDisk& disk)
{
    // The caller already runs this with effective user 0.
    ScopedFd device(commands, OpenDisk(commands, disk.name));
    if (device.get() < 0) {
        return -1;
    }
    // Never a SCSI command to an NVMe namespace: the nvme driver has no SCSI
    // translation and refuses SG_IO and HDIO_SET_WCACHE alike.
    return disk.transport == DISK_TRANSPORT_NVME ? SwitchNvme(commands, device.get(), disk)
                                                 : SwitchScsi(commands, device.get(), disk);
}
