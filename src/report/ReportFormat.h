// The report's three forms: a table for people, one JSON object, and the
// text exposition format of a metrics scraper's textfile collector.
#ifndef QUELVAR_REPORT_REPORTFORMAT_H
#define QUELVAR_REPORT_REPORTFORMAT_H

#include <string>

#include "report/HostReport.h"

// Every form says where its answer came from, and how old the daemon's view
// is; each OSD of a device shares the device's verdict.

// One line of counts, one of the source, then one table row per device with
// its verdict and why, and a row of its own for each further OSD. Bytes that
// are not printable ASCII are shown as "?".
[[nodiscard]] std::string FormatText(const HostReport& report, const ReportSource& source = ReportSource());
// One JSON object, pretty-printed, ending in a newline. Text that is not
// valid UTF-8 (link targets are another user's) has its bad bytes replaced
// by U+FFFD.
[[nodiscard]] std::string FormatJson(const HostReport& report, const ReportSource& source = ReportSource());
// Gauges quelvar_status, quelvar_view_age_seconds, and per OSD (or per
// device without one) quelvar_disk_write_cache and quelvar_disk_verdict.
[[nodiscard]] std::string FormatPrometheus(const HostReport& report, const ReportSource& source = ReportSource());

#endif
