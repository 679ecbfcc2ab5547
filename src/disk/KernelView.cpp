#include "disk/KernelView.h"

#include <unistd.h>

#include <cstring>

#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/Privilege.h"
#include "sys/SafeString.h"
#include "sys/Status.h"

namespace {

constexpr size_t ATTRIBUTE_SIZE = 256;

// The trigger's write inside its privileged window; `disk` is null when the
// disk could not be resolved, which counts as a failed write.
int Rescan(SystemApi& api, const std::string& name, const BackingDisk* disk)
{
    const uid_t saved = geteuid();
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    // Exactly one byte, no terminator and no newline: the SCSI disk driver
    // takes any write to this attribute as the request to rescan.
    const int written = disk == nullptr ? 1 : WriteDiskAttribute(api, *disk, "device/rescan", "1", 1);
    if (RestorePrivilege(saved) == ERR_PRIVILEGE) {
        return ERR_PRIVILEGE;
    }
    WriteLog(LOG_INFO, "rescan dev %s return %d\n", name.c_str(), written);
    return 0;
}

} // namespace

int QueryWriteCacheMode(SystemApi& api, const BackingDisk& disk)
{
    char text[ATTRIBUTE_SIZE];
    if (memset_s(text, sizeof(text), 0, sizeof(text)) != 0 ||
        ReadDiskAttribute(api, disk, "queue/write_cache", text, static_cast<int>(sizeof(text)), false) < 0) {
        return WRITE_CACHE_UNKNOWN;
    }
    // A full read leaves no terminator of its own.
    text[sizeof(text) - 1] = '\0';
    // Only the prefix counts: the kernel ends the text with a newline.
    if (strncmp(text, "write back", 10) == 0) {
        return WRITE_CACHE_BACK;
    }
    if (strncmp(text, "write through", 13) == 0) {
        return WRITE_CACHE_THROUGH;
    }
    return WRITE_CACHE_UNKNOWN;
}

int QueryWriteCacheMode(const std::string& disk)
{
    char path[PATH_BUFFER_SIZE];
    if (FormatPath(path, "/sys/block/%s/queue/write_cache", disk.c_str()) < 0) {
        LogCondition(LOG_ERROR, "snprintf_s /sys/block/%s/queue/write_cache error\n", disk.c_str());
        return WRITE_CACHE_UNKNOWN;
    }
    SystemApi api;
    BackingDisk resolved;
    return ResolveDiskByName(api, disk, &resolved) != 0 ? WRITE_CACHE_UNKNOWN : QueryWriteCacheMode(api, resolved);
}

int RescanDisk(SystemApi& api, const BackingDisk& disk)
{
    return Rescan(api, disk.name, &disk);
}

int RescanDisk(const std::string& disk)
{
    char path[PATH_BUFFER_SIZE];
    if (FormatPath(path, "/sys/block/%s/device/rescan", disk.c_str()) < 0) {
        LogCondition(LOG_ERROR, "snprintf_s /sys/block/%s/device/rescan failed\n", disk.c_str());
        return -1;
    }
    SystemApi api;
    BackingDisk resolved;
    return Rescan(api, disk, ResolveDiskByName(api, disk, &resolved) == 0 ? &resolved : nullptr);
}
