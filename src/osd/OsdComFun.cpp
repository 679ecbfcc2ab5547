#include "osd/OsdComFun.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "osd/CommandRunner.h"
#include "osd/OsdFile.h"
#include "sys/ScopedHandles.h"
#include "sys/Log.h"
#include "sys/SafeString.h"

namespace {

constexpr size_t BCACHE_NAME_MIN = 7;
constexpr size_t FSID_LENGTH = 36;
constexpr size_t PVS_LINE_SIZE = 256;

} // namespace

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

bool OsdComFun::IsPhysicalVolume(const std::string& dev)
{
    ScopedPipe stream(*this, OpenPipe("pvs", "r"));
    if (stream.get() == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "popen error: %d\n", error);
        return false;
    }
    // The blank after the name keeps sdb from matching the line of sdb1.
    std::string pattern = "/dev/" + dev + " ";
    char buffer[PVS_LINE_SIZE];
    for (;;) {
        if (memset_s(buffer, sizeof(buffer), 0, sizeof(buffer)) != 0) {
            return false;
        }
        if (ReadLine(buffer, sizeof(buffer), stream.get()) == nullptr) {
            return false;
        }
        if (strstr(buffer, pattern.c_str()) != nullptr) {
            return true;
        }
    }
}

int OsdComFun::GetVolumeGroup(const std::string& dev, std::string& vg)
{
    if (!IsPhysicalVolume(dev)) {
        return -1;
    }
    std::vector<std::string> lines;
    if (RunCommand("pvs --noheadings -o vg_name /dev/" + dev, lines) != 0) {
        return -1;
    }
    // A warning printed before the name makes the answer ambiguous.
    if (lines.size() != 1) {
        return -1;
    }
    size_t start = lines[0].find_first_not_of(' ');
    if (start == std::string::npos) {
        return -1;
    }
    vg = lines[0].substr(start);
    return 0;
}
