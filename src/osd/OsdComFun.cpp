#include "osd/OsdComFun.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "osd/CommandRunner.h"
#include "osd/OsdFile.h"
#include "sys/CheckedFile.h"

namespace {

constexpr size_t BCACHE_NAME_MIN = 7;
constexpr size_t FSID_LENGTH = 36;

} // namespace

// Without headings, so every line is a row; nothing here needs a shell.
const std::vector<std::string> PVS_REPORT_COMMAND = {
    "pvs", "--readonly", "--noheadings", "--separator", ";", "-o", "pv_name,vg_name,lv_uuid,lv_tags"};

int OsdComFun::IsBcacheName(const std::string& name)
{
    if (name.size() < BCACHE_NAME_MIN) {
        return -1;
    }
    return name.compare(0, 6, "bcache") == 0 ? 0 : -1;
}

int OsdComFun::ReadFsid(const std::string& dir, const std::string& name, std::string* fsid)
{
    if (fsid == nullptr || name.empty() || dir.empty() || name[0] == '.') {
        return -1;
    }
    if (ReadOsdFile(*this, dir, name, "/fsid", *fsid) != 0) {
        return -1;
    }
    // Nothing is trimmed: a carriage return or a blank makes the line too long.
    return fsid->size() == FSID_LENGTH ? 0 : -1;
}

void ParseLvmReport(const std::vector<std::string>& lines, LvmReport& report)
{
    // The runner hands a longer line over in pieces: a row cut there would
    // be read with some of its tags missing.
    constexpr size_t LINE_PIECE = 4095;
    for (const std::string& line : lines) {
        // A zero byte is no text LVM prints, and would hide the rest of a
        // name from the character rule; no field holds a blank.
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || line.size() >= LINE_PIECE ||
            line.find_first_of(std::string(" \t\r\n\v\f\0", 7), start) != std::string::npos) {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream text(line.substr(start));
        for (std::string field; std::getline(text, field, ';');) {
            fields.push_back(field);
        }
        if (line.back() == ';') {
            fields.emplace_back();
        }
        if (fields.size() != 4 || fields[0].compare(0, 5, "/dev/") != 0 || fields[0].size() == 5) {
            continue;
        }
        report.push_back({fields[0].substr(5), fields[1], fields[2], fields[3]});
    }
}

int VolumeGroupOf(const LvmReport& report, const std::string& dev, std::string& vg)
{
    if (dev.empty() || CheckPathChars(dev.c_str()) != 0) {
        return -1;
    }
    for (const PhysicalVolume& pv : report) {
        if (pv.dev == dev && !pv.vg.empty()) {
            vg = pv.vg;
            return 0;
        }
    }
    return -1;
}

bool OsdComFun::IsPhysicalVolume(const std::string& dev)
{
    LvmReport report;
    if (ReadLvmReport(report) != 0) {
        return false;
    }
    return std::any_of(report.begin(), report.end(), [&](const PhysicalVolume& pv) { return pv.dev == dev; });
}

int OsdComFun::GetVolumeGroup(const std::string& dev, std::string& vg)
{
    LvmReport report;
    if (dev.empty() || CheckPathChars(dev.c_str()) != 0 || ReadLvmReport(report) != 0) {
        return -1;
    }
    return VolumeGroupOf(report, dev, vg);
}

int OsdComFun::RunPvs(std::vector<std::string>& lines, int* status)
{
    return RunProgram(PVS_REPORT_COMMAND, lines, status);
}

int OsdComFun::ReadLvmReport(LvmReport& report)
{
    std::vector<std::string> lines;
    int status = 0;
    // A pvs that fails (LVM not ready at boot) prints nothing, which reads
    // like a host without volumes; its exit status tells them apart.
    if (RunPvs(lines, &status) != 0 || status != 0) {
        return LVM_FAILED;
    }
    ParseLvmReport(lines, report);
    return 0;
}
