// The block layer's side of a backing disk: its write-cache mode as sysfs
// reports it, and the trigger that makes the kernel rescan it.
#ifndef QUELVAR_DISK_KERNELVIEW_H
#define QUELVAR_DISK_KERNELVIEW_H

#include <string>

// Results of QueryWriteCacheMode.
constexpr int WRITE_CACHE_BACK = 0;     // the block layer treats the cache as volatile and on
constexpr int WRITE_CACHE_THROUGH = 1;  // the cache is off or absent
constexpr int WRITE_CACHE_UNKNOWN = 2;  // unreadable, or neither text
// Where the mode was not asked for at all.
constexpr int WRITE_CACHE_NOT_READ = -1;

// Reads /sys/block/<disk>/queue/write_cache. WRITE_CACHE_BACK,
// WRITE_CACHE_THROUGH or WRITE_CACHE_UNKNOWN (after any message).
[[nodiscard]] int QueryWriteCacheMode(const std::string& disk);

// Writes "1" to /sys/block/<disk>/device/rescan with raised privilege.
// 0 once the write was attempted (its outcome is only logged), -1 when the
// path cannot be formatted or privilege cannot be raised, ERR_PRIVILEGE
// when the return to the saved user failed.
[[nodiscard]] int RescanDisk(const std::string& disk);

#endif
