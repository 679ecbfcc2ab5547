// How the inventory ties each OSD to the bcache devices its data lives on.
//
// The kernel's block stack answers first: it names exactly the devices under
// the OSD's block device, so two OSDs in one volume group each get the
// devices their own volume lives on, and a volume striped over two gets
// both. The text of the block link counts only where the stack cannot
// answer (a file, a stack unreadable for now): a bcache device it names, or
// a volume group it names whose physical volumes the LVM report gives. LVM
// is asked at most once per rebuild, and only then.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "osd/OsdInfoMap.h"
#include "sys/BlockStack.h"
#include "sys/CheckedFile.h"
#include "sys/Log.h"
#include "sys/LogGate.h"

namespace {

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

void SortDevices(std::vector<std::string>& names)
{
    std::sort(names.begin(), names.end(), ByDeviceName);
}

// What the last rebuild found for the same OSD at the same link.
const OsdInfo* Earlier(const std::vector<OsdInfo>& previous, const OsdInfo& info)
{
    for (const OsdInfo& earlier : previous) {
        if (earlier.fsid == info.fsid && earlier.blockLink == info.blockLink &&
            earlier.dirName == info.dirName) {
            return &earlier;
        }
    }
    return nullptr;
}

} // namespace

void OsdInfoMap::AddBcacheDevice(OsdInfo& info, const std::string& name)
{
    std::string whole = WholeBcacheName(name);
    if (std::find(devList.begin(), devList.end(), whole) != devList.end() && !info.IsCarriedBy(whole)) {
        info.bcacheDevices.push_back(whole);
    }
}

void OsdInfoMap::TieByDeviceName(OsdInfo& info)
{
    // A whole component, so that bcache1 does not claim the OSD on bcache10;
    // a device also owns the partitions made on it.
    for (const std::string& dev : devList) {
        if (!IsBcachePartitionName(dev) && PathHasComponent(info.blockLink, dev, true)) {
            AddBcacheDevice(info, dev);
        }
    }
    SortDevices(info.bcacheDevices);
}

void OsdInfoMap::TieByVolumeGroup(OsdInfo& info, const LvmReport& lvm)
{
    for (const PhysicalVolume& pv : lvm) {
        // The character rule on device names holds for what LVM reports too.
        if (CheckPathChars(pv.dev.c_str()) == 0 && PathHasComponent(info.blockLink, pv.vg, false)) {
            AddBcacheDevice(info, pv.dev);
        }
    }
    SortDevices(info.bcacheDevices);
}

OsdInfoMap::Traced OsdInfoMap::TraceStack(OsdInfo& info)
{
    const bool bluestore = info.engineType == ENGINE_BLUESTORE;
    const std::string node = bluestore ? info.dirName + "/block" : info.dirName;
    const char* path = node.c_str();
    struct stat status {};
    if (Stat(path, &status) != 0) {
        if (!bluestore) {
            return Traced::Unknown;
        }
        int error = errno;
        LogCondition(LOG_ERROR, "stat %s error:%d %s\n", path, error, strerror(error));
        // A mapping not made yet, as while an encrypted OSD is opened.
        return Traced::NotYet;
    }
    // A file-backed OSD, as test clusters make them, has no stack; nor has a
    // directory on a file system of no device (tmpfs, as ceph-volume mounts
    // a bluestore OSD's).
    if (bluestore ? !S_ISBLK(status.st_mode) : !S_ISDIR(status.st_mode) || major(status.st_dev) == 0) {
        return Traced::Unknown;
    }
    auto isBcache = [this](const std::string& name) {
        return std::find(devList.begin(), devList.end(), name) != devList.end();
    };
    BlockStackWalk walk;
    const int result = WalkBlockStack(*this, sysPath, bluestore ? status.st_rdev : status.st_dev, isBcache, walk);
    if (result == BLOCK_STACK_DONE) {
        info.bcacheDevices = walk.found;
        SortDevices(info.bcacheDevices);
        return Traced::Answered;
    }
    if (!bluestore) {
        return Traced::Unknown;
    }
    if (result == BLOCK_STACK_UNREADABLE) {
        LogCondition(LOG_WARNING, "block stack of %s: cannot read %s error:%d %s\n", path, walk.where.c_str(),
                     walk.error, strerror(walk.error));
        return Traced::NotYet;
    }
    LogCondition(LOG_WARNING, "block stack of %s: %s at %s\n", path, BlockStackReason(result),
                 walk.where.c_str());
    return Traced::Unknown;
}

void OsdInfoMap::TieDevices(std::vector<OsdInfo>& records, OsdScan& scan)
{
    const std::vector<OsdInfo>& previous = osdInfoList;
    for (OsdInfo& info : records) {
        info.bcacheDevices.clear();
        info.block.clear();
        if (devList.empty()) {
            continue;
        }
        const Traced traced = TraceStack(info);
        const OsdInfo* earlier = Earlier(previous, info);
        if (info.engineType != ENGINE_BLUESTORE) {
            continue;
        }
        const std::string blockPath = info.dirName + "/block";
        if (traced == Traced::Answered) {
            // Said when the link's own text does not say it, and once, not
            // again at each retry of an incomplete rebuild.
            OsdInfo named = info;
            named.bcacheDevices.clear();
            TieByDeviceName(named);
            if (!info.bcacheDevices.empty() && named.bcacheDevices != info.bcacheDevices &&
                (earlier == nullptr || earlier->bcacheDevices != info.bcacheDevices)) {
                WriteLog(LOG_INFO, "block stack of %s: on %s\n", blockPath.c_str(), Joined(info.bcacheDevices).c_str());
            }
        } else {
            TieByDeviceName(info);
            const LvmReport* lvm = nullptr;
            if (!info.bcacheDevices.empty()) {
                // Tied by its link's text.
            } else if (scan.Lvm(lvm) == 0) {
                TieByVolumeGroup(info, *lvm);
            } else {
                // Without LVM's answer the OSD keeps what the last rebuild
                // found, so that its disk stays guarded while LVM hangs.
                MarkIncomplete("LVM did not answer");
                if (earlier != nullptr) {
                    for (const std::string& device : earlier->bcacheDevices) {
                        AddBcacheDevice(info, device);
                    }
                }
            }
            if (info.bcacheDevices.empty() && traced == Traced::NotYet) {
                MarkIncomplete("the devices under " + blockPath + " could not be traced");
            }
        }
        if (!info.bcacheDevices.empty()) {
            info.block = info.bcacheDevices.front();
        }
    }
}
