// The disk behind a bcache device: the whole disk a partition belongs to,
// how it is reached, and its volatile write cache as the disk itself
// reports it, read on its own or switched off.
#ifndef QUELVAR_DISK_BACKINGDISK_H
#define QUELVAR_DISK_BACKINGDISK_H

#include <string>

#include "scsi/ScsiCmd.h"

// How the disk's cache is read and switched.
constexpr int DISK_TRANSPORT_SCSI = 0;  // SCSI, or SATA behind the SCSI layer: SG_IO
constexpr int DISK_TRANSPORT_NVME = 1;  // an NVMe namespace: NVMe passthrough

struct BackingDisk {
    std::string name;                     // the whole disk's kernel name: sdb for sdb1
    int transport = DISK_TRANSPORT_SCSI;
};

// The disk's own answer about its volatile write cache.
constexpr int DISK_CACHE_OFF = 0;
constexpr int DISK_CACHE_ON = 1;
constexpr int DISK_CACHE_UNKNOWN = 2;  // the disk could not be opened or did not tell

// Fills `disk` for the block device `device` (a whole disk or one of its
// partitions) from sysfs. A device sysfs does not describe is taken for a
// whole SCSI disk, as the daemon always took it.
void FindBackingDisk(SystemApi& api, const std::string& device, BackingDisk* disk);

// Whether the disk says it takes commands: /sys/block/<disk>/device/state
// reads "running" (a SCSI device; "offline", "blocked", "transport-offline"
// when not) or "live" (an NVMe controller; "resetting", "connecting",
// "dead" when not). A disk without the attribute (virtio, or an NVMe
// namespace reached over several controllers, among which the kernel picks
// a live one itself) is taken at its word that it does. A command sent to a
// disk that says it does not either fails at once or waits in the kernel
// until the disk comes back. False with the attribute's text, without its
// newline, in *state.
[[nodiscard]] bool DiskTakesCommands(SystemApi& api, const BackingDisk& disk, std::string* state);

// Reads the disk's write-cache state without changing anything: WCE of the
// current Caching page, or the NVMe Volatile Write Cache feature. Needs
// effective user 0 to open the disk. DISK_CACHE_OFF, DISK_CACHE_ON or
// DISK_CACHE_UNKNOWN; only a disk that cannot be opened is logged.
[[nodiscard]] int ReadDiskWriteCache(ScsiCmd& commands, const BackingDisk& disk);

// Switches the disk's volatile write cache off, makes the kernel's view
// follow and commits what the cache held. Runs with effective user 0.
// 0 done (or already off), 1 the switch failed, -1 any other failure,
// ERR_PRIVILEGE from the rescan's privilege drop.
[[nodiscard]] int SwitchDiskWriteCacheOff(ScsiCmd& commands, const BackingDisk& disk);

#endif
