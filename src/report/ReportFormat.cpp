#include "report/ReportFormat.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "disk/KernelView.h"
#include "disk/Transport.h"
#include "osd/OsdInfoMap.h"
#include "writecache/PublishedView.h"

namespace
{

using Json = nlohmann::ordered_json;

bool DbSeparate(const OsdInfo& osd)
{
    return osd.blockLink != osd.dbLink;
}

// Directory names and link texts are written by another user: no control
// sequence of theirs reaches a terminal.
std::string Printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    return shown;
}

std::string Or(const char* text, const char* fallback)
{
    return text != nullptr ? text : fallback;
}

struct Counts {
    int protectedDisks = 0;
    int unprotected = 0;
    int notGuarded = 0;
    int unknown = 0;
};

Counts Count(const HostReport& report)
{
    Counts counts;
    for (const DeviceRow& row : report.rows) {
        switch (row.verdict) {
        case Verdict::Protected:
            ++counts.protectedDisks;
            break;
        case Verdict::Unprotected:
            ++counts.unprotected;
            break;
        case Verdict::NotGuarded:
            ++counts.notGuarded;
            break;
        case Verdict::Unknown:
            ++counts.unknown;
            break;
        }
    }
    return counts;
}

// Label values escape the backslash, the double quote and the line feed;
// the exposition format knows no other escape, so other control bytes and
// bytes that are not ASCII are shown as "?".
std::string LabelValue(const std::string& text)
{
    std::string value;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            value += '\\';
            value += c;
        } else if (c == '\n') {
            value += "\\n";
        } else {
            value += c < 0x20 || c > 0x7e ? '?' : c;
        }
    }
    return value;
}

// The labels of each OSD the device carries, or of the device alone.
std::vector<std::string> Labels(const DeviceRow& row)
{
    const std::string device = "bcache=\"" + LabelValue(row.device) + "\",disk=\"" + LabelValue(row.disk) + "\",osd=\"";
    std::vector<std::string> labels;
    for (const OsdInfo& osd : row.osds) {
        labels.push_back(device + LabelValue(OsdId(osd)) + "\"");
    }
    if (labels.empty()) {
        labels.push_back(device + "\"");
    }
    return labels;
}

std::string SourceText(const ReportSource& source)
{
    char age[32];
    (void)snprintf(age, sizeof(age), "%.1f", source.age);
    if (source.fromView) {
        return "from the daemon's view (pid " + std::to_string(source.pid) + "), " + age + " s old";
    }
    return source.age < 0 ? "read from the host: no view of a running daemon"
                          : std::string("read from the host: the daemon's view is ") + age + " s old, or its daemon gone";
}

Json OsdJson(const OsdInfo& osd)
{
    return {{"id", OsdId(osd)},
            {"directory", osd.dirName},
            {"fsid", osd.fsid},
            {"object_store", EngineName(osd.engineType)},
            {"block_link", osd.blockLink},
            {"db_link", osd.dbLink},
            {"db_separate", DbSeparate(osd)},
            {"sources", OsdSourceNames(osd.sources)}};
}

// 1 on, 0 off, -1 not known.
int CacheValue(bool on, bool off)
{
    return on ? 1 : off ? 0 : -1;
}

// The verdict's value mirrors the exit status: 0 protected, 2 UNPROTECTED,
// 3 unknown; 1, which no exit status uses, is "not guarded".
int VerdictValue(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Protected:
        return 0;
    case Verdict::NotGuarded:
        return 1;
    case Verdict::Unprotected:
        return 2;
    case Verdict::Unknown:
        break;
    }
    return 3;
}

} // namespace

std::string FormatText(const HostReport& report, const ReportSource& source)
{
    const Counts counts = Count(report);
    std::string text = std::to_string(report.rows.size()) + " bcache device" +
                       (report.rows.size() == 1 ? "" : "s") + ": " + std::to_string(counts.protectedDisks) +
                       " protected, " + std::to_string(counts.unprotected) + " UNPROTECTED, " +
                       std::to_string(counts.notGuarded) + " not guarded, " + std::to_string(counts.unknown) +
                       " unknown\n" + SourceText(source) + "\n";
    if (!report.problem.empty()) {
        text += "could not read the whole state: " + report.problem + "\n";
    }
    if (report.rows.empty()) {
        return text;
    }
    std::vector<std::vector<std::string>> table = {
        {"DEVICE", "DISK", "TRANSPORT", "KERNEL", "DISK SAYS", "OSD", "DB", "VERDICT", "WHY"}};
    for (const DeviceRow& row : report.rows) {
        table.push_back({Printable(row.device), row.disk.empty() ? "-" : Printable(row.disk),
                         row.transport.empty() ? "-" : row.transport, Or(KernelModeName(row.kernelMode), "-"),
                         Or(DiskCacheName(row.diskCache), "-"), "-", "-", VerdictName(row.verdict), row.reason});
        for (size_t i = 0; i < row.osds.size(); ++i) {
            const OsdInfo& osd = row.osds[i];
            if (i > 0) {
                table.emplace_back(table[0].size());
            }
            // Where it is known from: its directory, and the sources beside it.
            const std::string where = osd.dirName.empty() ? std::string() : Printable(osd.dirName) + ", ";
            const std::string sources = osd.sources == 0 ? std::string() : ", " + OsdSourceNames(osd.sources);
            table.back()[5] = Printable(OsdId(osd)) + " (" + where + EngineName(osd.engineType) + sources + ")";
            table.back()[6] = osd.engineType != ENGINE_BLUESTORE ? "-" : DbSeparate(osd) ? "separate" : "same device";
        }
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& cells : table) {
        for (size_t i = 0; i < cells.size(); ++i) {
            widths[i] = std::max(widths[i], cells[i].size());
        }
    }
    text += "\n";
    for (const auto& cells : table) {
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size()) {
                line += std::string(widths[i] - cells[i].size() + 2, ' ');
            }
        }
        text += line.erase(line.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}

std::string FormatJson(const HostReport& report, const ReportSource& source)
{
    const Counts counts = Count(report);
    Json document;
    document["status"] = ExitStatusOf(report);
    document["source"] = {{"from", source.fromView ? "daemon" : "host"},
                          {"pid", source.pid > 0 ? Json(source.pid) : Json(nullptr)},
                          {"view_age_seconds", source.age >= 0 ? Json(source.age) : Json(nullptr)}};
    document["summary"] = {{"protected", counts.protectedDisks},
                           {"unprotected", counts.unprotected},
                           {"not_guarded", counts.notGuarded},
                           {"unknown", counts.unknown}};
    document["problem"] = report.problem.empty() ? Json(nullptr) : Json(report.problem);
    Json devices = Json::array();
    for (const DeviceRow& row : report.rows) {
        Json device;
        device["device"] = row.device;
        device["disk"] = row.disk.empty() ? Json(nullptr) : Json(row.disk);
        device["transport"] = row.transport.empty() ? Json(nullptr) : Json(row.transport);
        const char* kernel = KernelModeName(row.kernelMode);
        const char* disk = DiskCacheName(row.diskCache);
        device["write_cache"] = {{"kernel", kernel != nullptr ? Json(kernel) : Json(nullptr)},
                                 {"disk", disk != nullptr ? Json(disk) : Json(nullptr)}};
        // "osd" is the first of "osds", as it was when a row had one.
        device["osd"] = row.osds.empty() ? Json(nullptr) : OsdJson(row.osds.front());
        device["osds"] = Json::array();
        for (const OsdInfo& osd : row.osds) {
            device["osds"].push_back(OsdJson(osd));
        }
        device["guarded"] = row.guarded;
        device["verdict"] = VerdictName(row.verdict);
        device["reason"] = row.reason;
        devices.push_back(device);
    }
    document["devices"] = devices;
    // Replace, not throw: the daemon is built without exceptions, and a link
    // text may hold any byte.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string FormatPrometheus(const HostReport& report, const ReportSource& source)
{
    char age[32] = "-1";
    if (source.fromView) {
        (void)snprintf(age, sizeof(age), "%.1f", source.age);
    }
    std::string text =
        "# HELP quelvar_status Exit status of quelvar --status: 0 every guarded disk protected, "
        "2 a guarded disk UNPROTECTED, 3 some state unreadable.\n"
        "# TYPE quelvar_status gauge\n"
        "quelvar_status " +
        std::to_string(ExitStatusOf(report)) + "\n";
    text += "# HELP quelvar_view_age_seconds Age of the daemon's view the report answered from; -1 when it read "
            "the host itself.\n"
            "# TYPE quelvar_view_age_seconds gauge\n"
            "quelvar_view_age_seconds " +
            std::string(age) + "\n";
    text += "# HELP quelvar_disk_write_cache Volatile write cache of a bcache device's backing disk as the "
            "kernel shows it and as the disk answers: 1 on, 0 off, -1 not known.\n"
            "# TYPE quelvar_disk_write_cache gauge\n";
    for (const DeviceRow& row : report.rows) {
        for (const std::string& labels : Labels(row)) {
            text += "quelvar_disk_write_cache{" + labels + ",source=\"kernel\"} " +
                    std::to_string(
                        CacheValue(row.kernelMode == WRITE_CACHE_BACK, row.kernelMode == WRITE_CACHE_THROUGH)) +
                    "\n";
            text += "quelvar_disk_write_cache{" + labels + ",source=\"disk\"} " +
                    std::to_string(CacheValue(row.diskCache == DISK_CACHE_ON, row.diskCache == DISK_CACHE_OFF)) +
                    "\n";
        }
    }
    text +=
        "# HELP quelvar_disk_verdict Verdict on a bcache device's backing disk: 0 protected, 1 not guarded, "
        "2 UNPROTECTED (guarded, cache on), 3 unknown.\n"
        "# TYPE quelvar_disk_verdict gauge\n";
    for (const DeviceRow& row : report.rows) {
        for (const std::string& labels : Labels(row)) {
            text += "quelvar_disk_verdict{" + labels + "} " + std::to_string(VerdictValue(row.verdict)) + "\n";
        }
    }
    return text;
}
