// The read-only report of the host: one row per bcache device with its
// backing disk, the disk's cache as the kernel and the disk show it, every
// OSD it carries, and a verdict on whether the disk is protected
// (writecache/DeviceVerdict.h). It answers from the daemon's published view
// while that is fresh, and reads the host itself otherwise.
#ifndef QUELVAR_REPORT_HOSTREPORT_H
#define QUELVAR_REPORT_HOSTREPORT_H

#include <string>

#include "writecache/DeviceVerdict.h"

// How long the report waits for each disk's answer when it reads the host
// itself: the kernel then aborts the command (Linux 6.1 gave it back with
// DID_TIME_OUT and left the disk running), or resets an NVMe controller.
constexpr unsigned REPORT_DISK_TIMEOUT_MS = 10000;

// Where the report's answer came from.
struct ReportSource {
    bool fromView = false; // the daemon's published view, else the host itself
    long pid = 0;          // the daemon that wrote the view
    double age = -1;       // seconds since the view was written; negative when there is none
};

// Reads the host as a pass reads it (the inventory, then every bcache block
// device of /dev) and changes nothing: no log line, no write to any file or
// device, no command to a disk whose state refuses commands, and no more
// than REPORT_DISK_TIMEOUT_MS of waiting for any one disk. What could not be
// read is in `problem` and the rows' verdicts; reading stops early only when
// privilege could not be dropped again.
void ReadHostReport(HostReport& report);

// The daemon's view at `path` when a running daemon wrote it within
// VIEW_FRESH_SECONDS, else the host itself; `source` says which.
void ReadReport(const std::string& path, HostReport& report, ReportSource& source);

#endif
