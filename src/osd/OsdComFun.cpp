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

// Without headings, so every line is a volume; nothing here needs a shell.
const std::vector<std::string> PVS_REPORT_COMMAND = {"pvs", "--noheadings", "-o", "pv_name,vg_name"};

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
    for (const std::string& line : lines) {
        std::istringstream fields(line);
        PhysicalVolume pv;
        std::string rest;
        // A zero byte is no text LVM prints, and would hide the rest of a
        // name from the character rule.
        if (line.find('\0') != std::string::npos || !(fields >> pv.dev) || pv.dev.compare(0, 5, "/dev/") != 0 ||
            pv.dev.size() == 5) {
            continue;
        }
        // A third word makes the line something else than a volume.
        if (fields >> pv.vg && fields >> rest) {
            continue;
        }
        pv.dev.erase(0, 5);
        report.push_back(pv);
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
