// The block layer's side of a backing disk: its write-cache mode as sysfs
// reports it, and the trigger that makes the kernel rescan it. Both read or
// write below the whole disk's directory that the pass resolved; the forms
// that take a disk's name resolve /sys/block/<disk> first.
#ifndef QUELVAR_DISK_KERNELVIEW_H
#define QUELVAR_DISK_KERNELVIEW_H

#include <string>

#include "disk/BackingDisk.h"
#include "sys/SystemApi.h"

// Results of QueryWriteCacheMode.
constexpr int WRITE_CACHE_BACK = 0;     // the block layer treats the cache as volatile and on
constexpr int WRITE_CACHE_THROUGH = 1;  // the cache is off or absent
constexpr int WRITE_CACHE_UNKNOWN = 2;  // unreadable, or neither text
// Where the mode was not asked for at all.
constexpr int WRITE_CACHE_NOT_READ = -1;

// Reads the whole disk's queue/write_cache. WRITE_CACHE_BACK,
// WRITE_CACHE_THROUGH or WRITE_CACHE_UNKNOWN (after any message).
[[nodiscard]] int QueryWriteCacheMode(SystemApi& api, const BackingDisk& disk);
[[nodiscard]] int QueryWriteCacheMode(const std::string& disk);

// Writes "1" to the whole disk's device/rescan with raised privilege.
// 0 once the write was attempted (its outcome is only logged), -1 when the
// path cannot be formatted or privilege cannot be raised, ERR_PRIVILEGE
// when the return to the saved user failed.
[[nodiscard]] int RescanDisk(SystemApi& api, const BackingDisk& disk);
[[nodiscard]] int RescanDisk(const std::string& disk);

#endif
