#include "osd/OsdInfoMap.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "osd/OsdFile.h"
#include "sys/ScopedHandles.h"
#include "sys/Log.h"
#include "sys/Privilege.h"
#include "sys/Status.h"

namespace {

constexpr const char* DEV_PATH = "/dev";

int32_t EngineTypeOf(const std::string& type)
{
    if (type == "bluestore") {
        return ENGINE_BLUESTORE;
    }
    if (type == "filestore") {
        return ENGINE_FILESTORE;
    }
    if (type == "kvstore") {
        return ENGINE_KVSTORE;
    }
    if (type == "memstore") {
        return ENGINE_MEMSTORE;
    }
    return ENGINE_UNKNOWN;
}

// "p" and at least one digit, up to the end or the next "/".
bool IsPartitionSuffix(const std::string& path, size_t at)
{
    if (at >= path.size() || path[at] != 'p') {
        return false;
    }
    size_t end = at + 1;
    while (end < path.size() && path[end] >= '0' && path[end] <= '9') {
        ++end;
    }
    return end > at + 1 && (end == path.size() || path[end] == '/');
}

} // namespace

bool ListChanged(const std::vector<std::string>& newList, const std::vector<std::string>& cachedList)
{
    return newList != cachedList;
}

bool PathHasComponent(const std::string& path, const std::string& needle, bool partitions)
{
    if (needle.empty()) {
        return false;
    }
    for (size_t at = path.find(needle); at != std::string::npos; at = path.find(needle, at + 1)) {
        size_t end = at + needle.size();
        bool leftBounded = at == 0 || path[at - 1] == '/';
        bool rightBounded =
            end == path.size() || path[end] == '/' || (partitions && IsPartitionSuffix(path, end));
        if (leftBounded && rightBounded) {
            return true;
        }
    }
    return false;
}

OsdInfoMap::OsdInfoMap(const std::string& root) : osdPath(root)
{
    osdInfoList.reserve(OSD_LIST_CAPACITY);
    fsidList.reserve(OSD_LIST_CAPACITY);
    devList.reserve(OSD_LIST_CAPACITY);
}

int OsdInfoMap::ProbeOsdDir(const std::string& dir, const std::string& name, OsdInfo* info)
{
    if (info == nullptr || name.empty() || name[0] == '.') {
        return -1;
    }
    std::string type;
    if (ReadOsdFile(*this, dir, name, "/type", type) != 0) {
        return -1;
    }
    info->engineType = EngineTypeOf(type);
    return info->ReadFsidAndLinks(dir, name);
}

int OsdInfoMap::RefreshOsdInfo()
{
    // Directory names are appended to the root directly.
    if (osdPath.empty() || osdPath.back() != '/') {
        return -1;
    }
    std::vector<std::string> fsids;
    fsids.reserve(OSD_LIST_CAPACITY);
    int result = ListOsdFsids(fsids);
    if (result != 0) {
        return result;
    }
    // Saved before the device scan, so a change seen now is not seen again
    // even if the scan below fails.
    bool fsidsChanged = ListChanged(fsids, fsidList);
    if (fsidsChanged) {
        SaveFsidList(fsids);
    }
    std::vector<std::string> devs;
    devs.reserve(OSD_LIST_CAPACITY);
    if (ListBcacheDevs(devs) != 0) {
        return -1;
    }
    if (ListChanged(devs, devList)) {
        SaveDevList(devs);
        return UpdateOsdInfoList();
    }
    if (fsidsChanged) {
        return UpdateOsdInfoList();
    }
    for (const OsdInfo& info : osdInfoList) {
        WriteLog(LOG_DEBUG, "osdinfo:[block]%s  [fsid]%s  [engineType]%d\n", info.block.c_str(),
                 info.fsid.c_str(), info.engineType);
        if (info.engineType == ENGINE_BLUESTORE) {
            WriteLog(LOG_DEBUG, "bluestore:[blockLink]%s  [dbLink]%s  [walLink]%s\n", info.blockLink.c_str(),
                     info.dbLink.c_str(), info.walLink.c_str());
        }
    }
    return 0;
}

int OsdInfoMap::OpenOsdRoot(uid_t saved, DIR** root)
{
    if (Access(osdPath.c_str(), F_OK) != 0) {
        int error = errno;
        WriteLog(LOG_ERROR, "access %s error:%d %s\n", osdPath.c_str(), error, strerror(error));
        return -1;
    }
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    *root = OpenDir(osdPath.c_str());
    if (*root == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "opendir %s error:%d %s\n", osdPath.c_str(), error, strerror(error));
        return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
    }
    return 0;
}

int OsdInfoMap::ListOsdFsids(std::vector<std::string>& list)
{
    uid_t saved = geteuid();
    DIR* opened = nullptr;
    int result = OpenOsdRoot(saved, &opened);
    if (result != 0) {
        return result;
    }
    ScopedDir root(*this, opened);
    for (struct dirent* entry = ReadDir(root.get()); entry != nullptr; entry = ReadDir(root.get())) {
        // The entry's own type, never a stat: a link to a directory is not
        // an OSD directory, and an unset type is skipped as well.
        if (entry->d_type != DT_DIR) {
            continue;
        }
        std::string fsid;
        if (ReadFsid(osdPath, entry->d_name, &fsid) == 0) {
            list.push_back(fsid);
        }
    }
    root.Close();
    return RestorePrivilege(saved);
}

int OsdInfoMap::ListBcacheDevs(std::vector<std::string>& list)
{
    if (Access(DEV_PATH, F_OK) != 0) {
        int error = errno;
        WriteLog(LOG_ERROR, "access /dev error:%d %s\n", error, strerror(error));
        return -1;
    }
    ScopedDir dev(*this, OpenDir(DEV_PATH));
    if (dev.get() == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "opendir /dev error:%d %s\n", error, strerror(error));
        return -1;
    }
    for (struct dirent* entry = ReadDir(dev.get()); entry != nullptr; entry = ReadDir(dev.get())) {
        if (entry->d_type != DT_BLK) {
            continue;
        }
        if (bcacheCheck == 1 && IsBcacheName(entry->d_name) == 0) {
            list.emplace_back(entry->d_name);
        }
    }
    return 0;
}

void OsdInfoMap::SaveFsidList(const std::vector<std::string>& list)
{
    fsidList = list;
    for (const std::string& fsid : fsidList) {
        WriteLog(LOG_DEBUG, "fsid:%s\n", fsid.c_str());
    }
}

void OsdInfoMap::SaveDevList(const std::vector<std::string>& list)
{
    devList = list;
    for (const std::string& dev : devList) {
        WriteLog(LOG_DEBUG, "dev:%s\n", dev.c_str());
    }
}

int OsdInfoMap::UpdateOsdInfoList()
{
    uid_t saved = geteuid();
    DIR* opened = nullptr;
    int result = OpenOsdRoot(saved, &opened);
    if (result != 0) {
        return result;
    }
    ScopedDir root(*this, opened);
    osdInfoList.clear();
    for (struct dirent* entry = ReadDir(root.get()); entry != nullptr; entry = ReadDir(root.get())) {
        if (entry->d_type != DT_DIR) {
            continue;
        }
        OsdInfo info;
        if (ProbeOsdDir(osdPath, entry->d_name, &info) == 0) {
            info.dirName = entry->d_name;
            osdInfoList.push_back(info);
        }
    }
    root.Close();
    // Still privileged: the LVM queries run as the superuser.
    for (const std::string& dev : devList) {
        ResolveBlockDev(dev);
    }
    if (RestorePrivilege(saved) != 0) {
        return ERR_PRIVILEGE;
    }
    WriteLog(LOG_INFO, "UpdateOsdInfoList succeed\n");
    return 0;
}

void OsdInfoMap::ResolveBlockDev(const std::string& name)
{
    std::string vg;
    bool inVolumeGroup = GetVolumeGroup(name, vg) == 0;
    const std::string& needle = inVolumeGroup ? vg : name;
    // A whole component, so that bcache1 does not claim the OSD on bcache10;
    // a plain device also owns the partitions made on it.
    for (OsdInfo& info : osdInfoList) {
        if (info.engineType == ENGINE_BLUESTORE && PathHasComponent(info.blockLink, needle, !inVolumeGroup)) {
            info.block = name;
            return;
        }
    }
}
