// The write-cache step: what decides whether a bcache device's backing disk
// must lose its volatile write cache, the reading of that disk's state (the
// status report's too), and the switch with its privileged windows.
#ifndef QUELVAR_WRITECACHE_WRITECACHESTEP_H
#define QUELVAR_WRITECACHE_WRITECACHESTEP_H

#include <string>
#include <vector>

#include "bcache/BcacheDev.h"
#include "disk/BackingDisk.h"
#include "disk/DiskCache.h"
#include "disk/KernelView.h"
#include "osd/OsdInfo.h"
#include "writecache/DeviceVerdict.h"
#include "writecache/DiskWatch.h"

// The first record that obliges the device's backing disk to lose its
// volatile write cache: a bluestore OSD carried by `device` (one of its
// bcache devices) whose DB link differs from its block link (so its DB
// lives elsewhere and the data disk's cache would hold acknowledged
// writes). Null when none.
[[nodiscard]] const OsdInfo* FindCacheOffRecord(const std::vector<OsdInfo>& records, const std::string& device);

// The OSD the device carries, whatever its type and links: the first
// bluestore record carried by `device`, else the first other one. Null when
// none.
[[nodiscard]] const OsdInfo* FindCarriedRecord(const std::vector<OsdInfo>& records, const std::string& device);

// What the write-cache step reads of one bcache device, and the status
// report reads the same way: the one reader of that state.
struct DeviceFacts {
    BackingDisk disk;                        // the backing device, its whole disk, how it is reached
    int kernelMode = WRITE_CACHE_NOT_READ;   // QueryWriteCacheMode of the whole disk
    const OsdInfo* guard = nullptr;          // FindCacheOffRecord's answer
};

// Resolves the backing device, then, when a record obliges its cache off
// (or `readMode` asks for it anyway), the whole disk and the block layer's
// mode of it, from that one resolution. A disk behind no guarded OSD costs
// the pass nothing more; an NVMe namespace's mode is not read (its
// attribute tells only that the controller has a volatile cache). 0 read, -1
// the backing device is unknown (GetBackendDev logged why; the caller says
// for which device).
[[nodiscard]] int ReadDeviceFacts(BcacheDev& device, const std::vector<OsdInfo>& records, bool readMode,
                                  DeviceFacts& facts);

// The disk's own answer (DISK_CACHE_*), read inside a privileged window of
// its own: the disk's node is root's. 0 with *state set, -1 when privilege
// could not be raised, ERR_PRIVILEGE when the return to the saved user
// failed.
[[nodiscard]] int ReadDiskWithPrivilege(BcacheDev& device, const BackingDisk& disk, int* state);

// How long the read that tries a disk known not to answer waits for it.
constexpr unsigned SILENT_DISK_TIMEOUT_MS = 10000;

// Resolves the backing disk and, when a record obliges it, runs FlushBcache
// on it with raised privilege: at once when the block layer reports the
// whole disk "write back" (or cannot tell, or it is NVMe, whose switch asks
// the disk first), and after asking the disk itself when it reports "write
// through", only if the disk says its cache is on. The
// disk gets its commands when `watch` gives it its turn and it says it
// takes them; what became of them goes back to `watch`. With `row`, what
// the step knows of the device goes there, unjudged: what a disk said this
// pass, or, when its turn is not now, what `watch` last heard of it.
// -1 when the backing disk is unknown or privilege could not be raised, 0
// when nothing was to be done (or the disk's turn is not now), else
// FlushBcache's result; ERR_PRIVILEGE when the return to the saved user
// failed.
[[nodiscard]] int WriteCacheStep(BcacheDev& device, const std::vector<OsdInfo>& records, DiskWatch& watch,
                                 DeviceRow* row = nullptr);

#endif
