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
    return FindPhysicalVolume(dev) == 0;
}

int OsdComFun::FindPhysicalVolume(const std::string& dev)
{
    ScopedPipe stream(*this, OpenPipe("pvs", "r"));
    if (stream.get() == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "popen error: %d\n", error);
        return LVM_FAILED;
    }
    // The blank after the name keeps sdb from matching the line of sdb1.
    std::string pattern = "/dev/" + dev + " ";
    char buffer[PVS_LINE_SIZE];
    int result = -1;
    for (;;) {
        if (memset_s(buffer, sizeof(buffer), 0, sizeof(buffer)) != 0 ||
            ReadLine(buffer, sizeof(buffer), stream.get()) == nullptr) {
            break;
        }
        if (strstr(buffer, pattern.c_str()) != nullptr) {
            // Listed is listed, whatever else pvs had to say afterwards.
            result = 0;
            break;
        }
    }
    int status = stream.Close();
    // A pvs that fails (LVM not ready at boot, a lock held) prints nothing,
    // which reads like "not a physical volume"; its exit status tells.
    return result == 0 || status == 0 ? result : LVM_FAILED;
}

int OsdComFun::GetVolumeGroup(const std::string& dev, std::string& vg)
{
    return LookUpVolumeGroup(dev, vg) == 0 ? 0 : -1;
}

int OsdComFun::LookUpVolumeGroup(const std::string& dev, std::string& vg)
{
    int listed = FindPhysicalVolume(dev);
    if (listed != 0) {
        return listed;
    }
    std::vector<std::string> lines;
    int status = 0;
    if (RunCommand("pvs --noheadings -o vg_name /dev/" + dev, lines, &status) != 0 || status != 0) {
        return LVM_FAILED;
    }
    // A warning printed before the name makes the answer ambiguous.
    if (lines.size() != 1) {
        return LVM_FAILED;
    }
    size_t start = lines[0].find_first_not_of(' ');
    if (start == std::string::npos) {
        return LVM_FAILED;
    }
    vg = lines[0].substr(start);
    return 0;
}
