// The disk's volatile write cache as the disk itself reports it, read on its
// own or switched off: over SG_IO for a SCSI or SATA disk, over NVMe
// passthrough for a namespace.
#ifndef QUELVAR_DISK_DISKCACHE_H
#define QUELVAR_DISK_DISKCACHE_H

#include "disk/BackingDisk.h"
#include "scsi/ScsiCmd.h"

// The disk's own answer about its volatile write cache.
constexpr int DISK_CACHE_OFF = 0;
constexpr int DISK_CACHE_ON = 1;
constexpr int DISK_CACHE_UNKNOWN = 2;  // the disk could not be opened or did not tell

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
