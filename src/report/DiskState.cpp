#include "report/DiskState.h"

#include <cstring>

#include "sys/CheckedFile.h"
#include "sys/SafeString.h"

namespace
{

constexpr size_t VENDOR_SIZE = 64;

std::string DiskTransport(const BackingDisk& disk)
{
    if (disk.transport == DISK_TRANSPORT_NVME) {
        return TRANSPORT_NVME;
    }
    char path[PATH_BUFFER_SIZE];
    char vendor[VENDOR_SIZE] = {};
    if (FormatPath(path, "/sys/block/%s/device/vendor", disk.name.c_str()) < 0 ||
        SafeReadWriteFile(path, vendor, static_cast<int>(sizeof(vendor) - 1), 0) != 0) {
        return TRANSPORT_UNKNOWN;
    }
    return strncmp(vendor, "ATA ", 4) == 0 || strncmp(vendor, "ATA\n", 4) == 0 ? TRANSPORT_SATA
                                                                               : TRANSPORT_SCSI;
}

} // namespace

std::string ReadTransport(const std::string& backing, const BackingDisk& disk)
{
    const std::string transport = DiskTransport(disk);
    return backing == disk.name ? transport : "partition of " + disk.name + ", " + transport;
}
