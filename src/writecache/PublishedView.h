// The daemon's view of the host, published once a pass for the status
// report and the OSDs' wait, so that neither asks a disk again: one small
// text file in the daemon's runtime directory, written beside its name and
// renamed over it, readable by root alone.
//
// One record a line, its fields separated by tabs; in text a tab, a line
// feed, any other byte below 0x20, 0x7f and the backslash are written as \x
// and two hex digits. quelvar(8) documents it:
//   quelvar-view  1
//   pid           PID of the daemon that wrote it
//   pass          N  BEGAN  WRITTEN      (seconds since boot, as /proc/uptime)
//   problem       TEXT                   (only when the inventory is not whole)
//   device        NAME DISK TRANSPORT KERNEL DISK-SAYS ANSWERED SILENCE GUARDED VERDICT REASON
//   osd           DEVICE ID VERDICT DIRECTORY FSID TYPE BLOCK-LINK DB-LINK SOURCES
// An unknown text is "-", so that no field is empty: a line holds exactly
// its fields. Later versions add fields at the end of a line.
#ifndef QUELVAR_WRITECACHE_PUBLISHEDVIEW_H
#define QUELVAR_WRITECACHE_PUBLISHEDVIEW_H

#include <string>

#include "writecache/DeviceVerdict.h"

constexpr const char* VIEW_PATH = "/run/quelvar/view";
// A view is fresh while a running daemon wrote it within this many
// seconds: two passes, each its five-second pause and, at worst, LVM's
// ten-second deadline. A pass held up longer (a disk's first time-out)
// leaves the report to read the host itself meanwhile.
constexpr double VIEW_FRESH_SECONDS = 30;

struct ViewHeader {
    long pid = 0;
    unsigned long long pass = 0;
    double began = 0;    // BootSeconds() when the pass began
    double written = 0;  // BootSeconds() when the view was written
};

// Seconds since boot on the clock /proc/uptime shows (CLOCK_BOOTTIME): the
// same for every process, and untouched when the wall clock is set.
[[nodiscard]] double BootSeconds();

// Whether the process `pid` still runs (or runs under another user).
[[nodiscard]] bool DaemonRuns(long pid);

// "write back", "write through", "unreadable", or null when not read.
[[nodiscard]] const char* KernelModeName(int mode);
// "on", "off", or null when the disk did not tell.
[[nodiscard]] const char* DiskCacheName(int cache);

[[nodiscard]] std::string FormatView(const ViewHeader& header, const HostReport& report);
// 0 parsed; -1 not a view of this version (nothing is kept).
[[nodiscard]] int ParseView(const std::string& text, ViewHeader& header, HostReport& report);

// Replaces the view at `path` with `text`: written to path + ".new" (mode
// 0600), then renamed over it; the directory is made (0700) when missing.
// 0 done, else the errno of the failed step.
[[nodiscard]] int WriteView(const std::string& path, const std::string& text);
// Reads and parses the view at `path`. 0 done; -1 missing, unreadable or
// not a view.
[[nodiscard]] int ReadView(const std::string& path, ViewHeader& header, HostReport& report);

#endif
