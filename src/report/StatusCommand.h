// quelvar --status: one read-only report of the host, then exit.
#ifndef QUELVAR_REPORT_STATUSCOMMAND_H
#define QUELVAR_REPORT_STATUSCOMMAND_H

#include <string>

// The report's forms: the table, --json, --prometheus.
enum class ReportForm { Text, Json, Prometheus };

// Silences the log, reads the host and prints the report in `form` on
// standard output, or writes it to `file` through a new file beside it that
// is then renamed over it. The report's exit status (STATUS_* of
// HostReport.h); STATUS_UNKNOWN without the needed privilege, or when the
// file could not be written (said on standard error) and no disk is
// UNPROTECTED.
[[nodiscard]] int RunStatus(ReportForm form, const std::string& file);

// Replaces `path` with `text` at once: readers see the old file or the new
// one, never a part, and after a power cut too (the file and its directory
// are synced). Temporaries an earlier run left behind are removed first. 0
// done; otherwise the errno of the failed step.
[[nodiscard]] int ReplaceFile(const std::string& path, const std::string& text);

// Removes the temporaries of base + ".XXXXXX" in `dir` that are older than
// any run, left by runs killed halfway.
void RemoveStaleTemporaries(const std::string& dir, const std::string& base);

#endif
