// The daemon's only diagnostic channel: one line per call appended to a
// self-rotating file. Trouble inside the writer itself goes to standard
// output, since the log is then the thing that does not work.
#ifndef QUELVAR_SYS_LOG_H
#define QUELVAR_SYS_LOG_H

#include <cstddef>

constexpr int LOG_DEBUG = 0;    // traces; never written to the file
constexpr int LOG_INFO = 1;     // state changes
constexpr int LOG_WARNING = 2;  // rejected input, commands a device refused
constexpr int LOG_ERROR = 3;    // failed system calls, allocations, formatting

constexpr const char* LOG_DIR = "/var/log/quelvar";
constexpr const char* LOG_FILE = "/var/log/quelvar/quelvar.log";
constexpr const char* LOG_FILE_OLD = "/var/log/quelvar/quelvar.log.old";

// A log larger than this (4 MiB less 1 KiB) is rotated before the next line.
constexpr long LOG_ROTATE_SIZE = 0x3ffc00;
// One composed line, prefix and message, without the closing "]\n".
constexpr size_t LOG_LINE_MAX = 1023;

constexpr unsigned LOG_DIR_MODE = 0750;
constexpr unsigned LOG_FILE_MODE = 0640;
constexpr unsigned LOG_FILE_OLD_MODE = 0440;

// Appends "[time][process(tid)][TAG][message]" to LOG_FILE. Levels of 0 and
// below are composed but not written. Never fails towards the caller.
void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Makes every later WriteLog call do nothing at all, not even report its own
// trouble on standard output: the read-only status report leaves the log as
// it found it and keeps standard output for the report.
void SilenceLog();

// Creates LOG_DIR if needed and gives it and both log files to the
// effective user and real group. 0 done, -1 failed (reported on stdout).
[[nodiscard]] int PrepareLogDir();

#endif
