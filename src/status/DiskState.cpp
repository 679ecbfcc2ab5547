#include "status/DiskState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "sys/CheckedFile.h"
#include "sys/Privilege.h"
#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"
#include "sys/Status.h"

namespace
{

constexpr size_t VENDOR_SIZE = 64;
// The current values of a mode page (SPC-4 6.11, PC field).
constexpr int PAGE_CONTROL_CURRENT = 0;

} // namespace

std::string ReadTransport(SystemApi& api, const std::string& disk)
{
    char path[PATH_BUFFER_SIZE];
    // A partition has this attribute; a whole disk does not.
    if (FormatPath(path, "/sys/class/block/%s/partition", disk.c_str()) >= 0 && api.Access(path, F_OK) == 0) {
        return TRANSPORT_PARTITION;
    }
    char resolved[PATH_BUFFER_SIZE] = {};
    if (FormatPath(path, "/sys/block/%s", disk.c_str()) < 0) {
        return TRANSPORT_UNKNOWN;
    }
    // A namespace lives below its controller: .../nvme/nvme0/nvme0n1.
    if (disk.compare(0, 4, "nvme") == 0 ||
        (api.RealPath(path, resolved) != nullptr && strstr(resolved, "/nvme/") != nullptr)) {
        return TRANSPORT_NVME;
    }
    char vendor[VENDOR_SIZE] = {};
    if (FormatPath(path, "/sys/block/%s/device/vendor", disk.c_str()) < 0 ||
        SafeReadWriteFile(path, vendor, static_cast<int>(sizeof(vendor) - 1), 0) != 0) {
        return TRANSPORT_UNKNOWN;
    }
    return strncmp(vendor, "ATA ", 4) == 0 || strncmp(vendor, "ATA\n", 4) == 0 ? TRANSPORT_SATA
                                                                               : TRANSPORT_SCSI;
}

int ReadDiskWriteCache(ScsiCmd& scsi, const std::string& disk, const std::string& transport)
{
    // A partition's whole disk and an NVMe namespace's Get Features are not
    // asked yet: the kernel's view stands alone for them.
    if (transport == TRANSPORT_PARTITION || transport == TRANSPORT_NVME) {
        return DISK_CACHE_NOT_ASKED;
    }
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE] = {};
    if (FormatPath(path, "/dev/%s", disk.c_str()) < 0 || scsi.RealPath(path, resolved) == nullptr ||
        scsi.Access(resolved, F_OK) != 0) {
        return DISK_CACHE_NOT_ASKED;
    }
    const uid_t saved = geteuid();
    if (RaisePrivilege(saved) != 0) {
        return DISK_CACHE_NOT_ASKED;
    }
    int wce = DISK_CACHE_NOT_ASKED;
    {
        ScopedFd fd(scsi, scsi.Open(resolved, O_RDONLY | O_NONBLOCK, 0600));
        if (fd.get() >= 0 && scsi.GetWriteCache(fd.get(), PAGE_CONTROL_CURRENT, &wce) != 0) {
            wce = DISK_CACHE_NOT_ASKED;
        }
    }
    if (RestorePrivilege(saved) != 0) {
        return ERR_PRIVILEGE;
    }
    return wce;
}
