#include "disk/Transport.h"

#include <cstring>

namespace
{

constexpr size_t VENDOR_SIZE = 64;

std::string DiskTransport(SystemApi& api, const BackingDisk& disk)
{
    if (disk.transport == DISK_TRANSPORT_NVME) {
        return TRANSPORT_NVME;
    }
    char vendor[VENDOR_SIZE] = {};
    if (ReadDiskAttribute(api, disk, "device/vendor", vendor, static_cast<int>(sizeof(vendor) - 1), true) < 0) {
        return TRANSPORT_UNKNOWN;
    }
    return strncmp(vendor, "ATA ", 4) == 0 || strncmp(vendor, "ATA\n", 4) == 0 ? TRANSPORT_SATA
                                                                               : TRANSPORT_SCSI;
}

} // namespace

std::string ReadTransport(SystemApi& api, const BackingDisk& disk)
{
    const std::string transport = DiskTransport(api, disk);
    return disk.partition ? "partition of " + disk.name + ", " + transport : transport;
}
