// The read-only report of the host: one row per bcache device with its
// backing disk, the disk's cache as the kernel and the disk show it, the OSD
// it carries, and a verdict on whether the disk is protected.
#ifndef QUELVAR_REPORT_HOSTREPORT_H
#define QUELVAR_REPORT_HOSTREPORT_H

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
    std::string transport; // ReadTransport of DiskState.h
    int kernelMode = WRITE_CACHE_NOT_READ; // WRITE_CACHE_* of disk/KernelView.h
    int diskCache = DISK_CACHE_UNKNOWN; // the disk's own answer, DISK_CACHE_* of disk/DiskCache.h
    bool hasOsd = false;
    OsdInfo osd;          // the OSD the device carries, when hasOsd
    bool guarded = false; // an OSD obliges the disk's cache off
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
// where there is one, counts over the kernel's view.
void Judge(DeviceRow& row, bool inventoryRead);

// STATUS_UNPROTECTED if any row is, else STATUS_UNKNOWN if anything could
// not be read, else STATUS_PROTECTED.
[[nodiscard]] int ExitStatusOf(const HostReport& report);

// "protected", "UNPROTECTED", "not guarded", "unknown".
[[nodiscard]] const char* VerdictName(Verdict verdict);
// The OSD's id: what follows the last "-" of its directory's name (ceph-0
// gives 0), or the whole name.
[[nodiscard]] std::string OsdId(const OsdInfo& osd);
// "bluestore", "filestore", ...
[[nodiscard]] const char* EngineName(int32_t engineType);

// Reads the host as a pass reads it (the inventory, then every bcache block
// device of /dev) and changes nothing: no log line, no write to any file or
// device. What could not be read is in `problem` and the rows' verdicts;
// reading stops early only when privilege could not be dropped again.
void ReadHostReport(HostReport& report);

#endif
