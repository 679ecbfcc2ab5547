// What the status report says of one bcache device and why: the facts of
// its row and the verdict judged from them. The daemon judges the rows of
// its pass for the view it publishes; the report judges the rows it reads
// from the host itself, when no fresh view is there, by the same rule.
#ifndef QUELVAR_WRITECACHE_DEVICEVERDICT_H
#define QUELVAR_WRITECACHE_DEVICEVERDICT_H

#include <string>
#include <vector>

#include "disk/DiskCache.h"
#include "disk/KernelView.h"
#include "osd/OsdInfo.h"

// Exit statuses of the report, as monitoring plugins use them.
constexpr int STATUS_PROTECTED = 0;   // every guarded disk has its cache off
constexpr int STATUS_UNPROTECTED = 2; // a guarded disk has its cache on
constexpr int STATUS_UNKNOWN = 3;     // some state could not be read

enum class Verdict {
    Protected,   // guarded, cache off
    NotGuarded,  // no OSD obliges the cache off; `reason` says why
    Unprotected, // guarded, cache on
    Unknown,     // what decides could not be read; `reason` says what
};

struct DeviceRow {
    std::string device;    // bcache0
    std::string disk;      // backing device (sdb, or sdb1); empty when it could not be found
    std::string transport; // ReadTransport of disk/Transport.h; empty when not read
    int kernelMode = WRITE_CACHE_NOT_READ; // WRITE_CACHE_* of disk/KernelView.h
    int diskCache = DISK_CACHE_UNKNOWN;    // the disk's own answer, DISK_CACHE_* of disk/DiskCache.h
    double answeredAt = -1; // BootSeconds() of that answer; negative when the disk gave none
    // Why the disk gave no answer ("does not answer: ...", "cannot take
    // commands: state offline"); empty when it answered or was not asked.
    std::string silence;
    std::vector<OsdInfo> osds; // every OSD the device carries, by id
    bool guarded = false;      // an OSD obliges the disk's cache off
    Verdict verdict = Verdict::Unknown;
    std::string reason;
};

struct HostReport {
    // Why the OSD inventory could not be read; empty when it was. Without
    // it, "carries no OSD" cannot be told from "could not see the OSD".
    std::string problem;
    std::vector<DeviceRow> rows; // by device name
};

// The verdict and its reason from the row's facts. The disk's own answer,
// where there is one, counts over the kernel's view; a guarded disk that
// gave none is never protected.
void Judge(DeviceRow& row, bool inventoryRead);

// STATUS_UNPROTECTED if any row is, else STATUS_UNKNOWN if anything could
// not be read, else STATUS_PROTECTED.
[[nodiscard]] int ExitStatusOf(const HostReport& report);

// "protected", "UNPROTECTED", "not guarded", "unknown".
[[nodiscard]] const char* VerdictName(Verdict verdict);
// The OSD's id: what follows the last "-" or "." of its directory's name
// (ceph-0 and osd.0 give 0), or the whole name.
[[nodiscard]] std::string OsdId(const OsdInfo& osd);
// "bluestore", "filestore", ...
[[nodiscard]] const char* EngineName(int32_t engineType);

// The report's `problem` for an inventory refreshed with `refreshed` (0,
// -1) whose Incomplete() is `incomplete`.
[[nodiscard]] std::string InventoryProblem(int refreshed, const std::string& incomplete);

// The row's device, disk, kernel view and OSDs from what the write-cache
// step read of the device (`facts` null when its backing disk is unknown).
struct DeviceFacts;
void FillRow(const std::string& device, const DeviceFacts* facts, const std::vector<OsdInfo>& records,
             DeviceRow& row);

#endif
