// The disk behind a bcache device, found once a pass: the backing device
// the bcache device's sysfs link leads to, the whole disk it is or belongs
// to, that disk's place in sysfs and how it is reached. Every step that
// reads or changes the disk is handed this record instead of finding the
// disk again by its name.
#ifndef QUELVAR_DISK_BACKINGDISK_H
#define QUELVAR_DISK_BACKINGDISK_H

#include <sys/types.h>

#include <string>

#include "sys/SystemApi.h"

// How the disk's cache is read and switched.
constexpr int DISK_TRANSPORT_SCSI = 0;  // SCSI, or SATA behind the SCSI layer: SG_IO
constexpr int DISK_TRANSPORT_NVME = 1;  // an NVMe namespace: NVMe passthrough

struct BackingDisk {
    std::string name;                     // the whole disk's kernel name: sdb for sdb1
    int transport = DISK_TRANSPORT_SCSI;
    std::string backing;                  // the backing device itself: sdb, or sdb1
    std::string backingDir;               // its canonical sysfs directory
    std::string dir;                      // the whole disk's canonical sysfs directory
    bool partition = false;               // `backing` is a partition of `name`
};

// Resolves `link`, the "bcache" link of a bcache device's sysfs directory,
// with one realpath and an existence test. The link leads into the backing
// device's own directory (.../block/sdb/bcache for a whole disk,
// .../block/sdb/sdb1/bcache for a partition), which gives `backing` and
// `backingDir`. 0 done; -1 failed (logged, but for a resolved path without
// two "/", which is only refused).
[[nodiscard]] int ResolveBackingDevice(SystemApi& api, const char* link, BackingDisk* disk);

// Completes `disk` from its backing directory without resolving anything
// again: whether the backing device is a partition (one access call), the
// whole disk's name and directory, and its transport.
void FindWholeDisk(SystemApi& api, BackingDisk* disk);

// The whole disk /sys/block/<name>, for callers that have only its name:
// the name is held to the character rule of checked file access and the
// directory resolved with realpath, as checked file access would. 0 done,
// -1 refused or not found (logged as checked file access logs it).
[[nodiscard]] int ResolveDiskByName(SystemApi& api, const std::string& name, BackingDisk* disk);

// One read of `size` bytes from the whole disk's attribute `attribute`
// (a path below its directory, such as "queue/write_cache"), opened through
// the facade. The bytes read, or -1; a failure is logged as checked file
// access logs it, unless `quiet`.
[[nodiscard]] ssize_t ReadDiskAttribute(SystemApi& api, const BackingDisk& disk, const char* attribute,
                                        char* buffer, int size, bool quiet);
// One write of `size` bytes of `text` to the whole disk's attribute. 0 done,
// 1 failed (logged).
[[nodiscard]] int WriteDiskAttribute(SystemApi& api, const BackingDisk& disk, const char* attribute,
                                     const char* text, int size);

// Whether the disk says it takes commands: its device/state reads
// "running" (a SCSI device; "offline", "blocked", "transport-offline" when
// not) or "live" (an NVMe controller; "resetting", "connecting", "dead"
// when not). A disk without the attribute (virtio, or an NVMe namespace
// reached over several controllers, among which the kernel picks a live one
// itself) is taken at its word that it does. A command sent to a disk that
// says it does not either fails at once or waits in the kernel until the
// disk comes back. False with the attribute's text, without its newline, in
// *state.
[[nodiscard]] bool DiskTakesCommands(SystemApi& api, const BackingDisk& disk, std::string* state);

#endif
