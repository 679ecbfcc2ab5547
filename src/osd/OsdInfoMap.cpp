#include "osd/OsdInfoMap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "osd/CommandRunner.h"
#include "osd/OsdFile.h"
#include "sys/ScopedHandles.h"
#include "sys/Log.h"
#include "sys/LogGate.h"
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

bool SameRecords(const std::vector<OsdInfo>& one, const std::vector<OsdInfo>& other)
{
    return std::equal(one.begin(), one.end(), other.begin(), other.end(), [](const OsdInfo& a, const OsdInfo& b) {
        return a.block == b.block && a.fsid == b.fsid && a.engineType == b.engineType &&
               a.blockLink == b.blockLink && a.dbLink == b.dbLink && a.walLink == b.walLink &&
               a.bcacheDevices == b.bcacheDevices && a.sources == b.sources;
    });
}

} // namespace

bool ListChanged(const std::vector<std::string>& newList, const std::vector<std::string>& cachedList)
{
    return newList != cachedList;
}

bool ByDeviceName(const std::string& left, const std::string& right)
{
    return left.size() != right.size() ? left.size() < right.size() : left < right;
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

OsdInfoMap::OsdInfoMap(const std::string& root, const std::string& cephadmBase, const std::string& rookBase)
    : osdPath(root), cephadmPath(cephadmBase), rookPath(rookBase)
{
    osdInfoList.reserve(OSD_LIST_CAPACITY);
    devList.reserve(OSD_LIST_CAPACITY);
    sources.push_back(std::make_unique<OsdDirSource>(OSD_SOURCE_DIRECTORY));
    sources.push_back(std::make_unique<OsdDirSource>(OSD_SOURCE_ROOK));
    sources.push_back(std::make_unique<LvmTagSource>());
    sources.push_back(std::make_unique<LabelSource>());
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
    // Every pass lists the roots; a rebuild runs only now and then, and what
    // it said stays open through the passes that do not rebuild.
    LogSubject listing(OSD_LISTING_SUBJECT);
    ProcessLogGate().Meet(OSD_REBUILD_SUBJECT);
    // Directory names are appended to the root directly.
    if (osdPath.empty() || osdPath.back() != '/') {
        return -1;
    }
    // A pvs killed earlier that only now could end.
    ReapKilledCommands();
    ChangeSignature now;
    // Nothing is kept from a listing that failed half-way: what changed is
    // still news on the next pass.
    int result = ReadSignature(now);
    if (result != 0) {
        return result;
    }
    NodeTimes(watched, now.times);
    if (now != changeSignature) {
        if (ListChanged(now.devs, devList)) {
            SaveDevList(now.devs);
        }
        blockList = now.blocks;
        return Rebuild(false, std::move(now));
    }
    if (RetryDue()) {
        return Rebuild(true, std::move(now));
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

int OsdInfoMap::ReadSignature(ChangeSignature& now)
{
    now.fsids.reserve(OSD_LIST_CAPACITY);
    now.dirs.reserve(OSD_LIST_CAPACITY);
    int result = ListOsdFsids(now.fsids, &now.dirs);
    if (result != 0) {
        return result;
    }
    now.devs.reserve(OSD_LIST_CAPACITY);
    if (ListBcacheDevs(now.devs, &now.blocks) != 0) {
        return -1;
    }
    // Without a bcache device there is nothing to guard, and nothing is
    // rebuilt for a block device.
    if (now.devs.empty()) {
        now.blocks.clear();
    }
    return 0;
}

void OsdInfoMap::NodeTimes(const std::vector<std::string>& names, std::vector<std::string>& times)
{
    for (const std::string& name : names) {
        struct stat status {};
        int64_t stamp[4] = {};
        if (Stat((devPath + name).c_str(), &status) == 0) {
            stamp[0] = status.st_mtim.tv_sec;
            stamp[1] = status.st_mtim.tv_nsec;
            stamp[2] = status.st_ctim.tv_sec;
            stamp[3] = status.st_ctim.tv_nsec;
        }
        times.emplace_back(reinterpret_cast<const char*>(stamp), sizeof(stamp));
    }
}

std::vector<std::string> OsdInfoMap::WatchedDevices() const
{
    std::set<std::string> fromDirs;
    for (const OsdInfo& info : osdInfoList) {
        if ((info.sources & (OSD_SOURCE_DIRECTORY | OSD_SOURCE_ROOK)) != 0) {
            fromDirs.insert(info.fsid);
        }
    }
    std::vector<std::string> list;
    for (const std::string& dev : devList) {
        if (IsBcachePartitionName(dev)) {
            continue;
        }
        bool owned = std::any_of(osdInfoList.begin(), osdInfoList.end(), [&](const OsdInfo& info) {
            return fromDirs.count(info.fsid) != 0 && info.IsCarriedBy(dev);
        });
        for (const auto& block : lastBlocks) {
            owned = owned || (block.second.hasLabel && WholeBcacheName(block.first) == dev &&
                              fromDirs.count(block.second.label.osdUuid) != 0);
        }
        if (!owned) {
            list.push_back(dev);
        }
    }
    return list;
}

int OsdInfoMap::Rebuild(bool retry, ChangeSignature seen)
{
    LogSubject rebuilding(OSD_REBUILD_SUBJECT);
    rebuildIncomplete = false;
    incompleteReason.clear();
    std::vector<OsdInfo> previous;
    if (retry) {
        previous = osdInfoList;
    }
    // Taken before anything is read, so that a write while the rebuild
    // reads moves a time past what is kept.
    std::vector<std::string> times;
    std::vector<std::string> whole;
    for (const std::string& dev : devList) {
        if (!IsBcachePartitionName(dev)) {
            whole.push_back(dev);
        }
    }
    NodeTimes(whole, times);
    int result = UpdateOsdInfoList();
    seen.times.clear();
    for (size_t at = 0; at < whole.size(); ++at) {
        if (std::find(watched.begin(), watched.end(), whole[at]) != watched.end()) {
            seen.times.push_back(times[at]);
        }
    }
    changeSignature = std::move(seen);
    // A retry that found what the last rebuild found has nothing to report:
    // a host with an OSD that stays broken keeps a quiet log.
    if (result == 0 && (!retry || !SameRecords(previous, osdInfoList))) {
        WriteLog(LOG_INFO, "UpdateOsdInfoList succeed\n");
    }
    if (result == 0 && !rebuildIncomplete) {
        retryInterval = retryWait = 0;
        return 0;
    }
    // A change is news: look again at once. A retry that changed nothing
    // waits longer each time, so that a host with an OSD that stays broken
    // does not run pvs every five seconds.
    retryInterval = retry ? std::min(retryInterval * 2, OSD_RETRY_MAX_PASSES) : 1;
    retryWait = retryInterval;
    return result;
}

bool OsdInfoMap::RetryDue()
{
    if (retryWait == 0) {
        return false;
    }
    return --retryWait == 0;
}

std::string OsdInfoMap::DirSignature(const std::string& dir, const std::string& name)
{
    // Each field ends in a zero byte, which no link text can hold, so that
    // neighbouring texts cannot run into each other.
    std::string signature;
    char path[PATH_BUFFER_SIZE];
    // "type" by its identity and times, not its text: one call instead of
    // the five of a checked read, and any rewrite moves its change time,
    // which not even its owner can set back.
    struct stat status {};
    if (FormatPath(path, "%s%s/type", dir.c_str(), name.c_str()) >= 0 && Lstat(path, &status) == 0) {
        const int64_t identity[] = {static_cast<int64_t>(status.st_ino),      status.st_size,
                                    status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                                    status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
        signature.assign(reinterpret_cast<const char*>(identity), sizeof(identity));
    }
    signature += '\0';
    for (const char* link : {"block", "block.db", "block.wal"}) {
        // Not zeroed: only the bytes readlink reports are taken.
        char target[PATH_BUFFER_SIZE];
        if (FormatPath(path, "%s%s/%s", dir.c_str(), name.c_str(), link) >= 0) {
            ssize_t length = ReadLink(path, target, sizeof(target));
            if (length > 0) {
                signature.append(target, static_cast<size_t>(length));
            }
        }
        signature += '\0';
    }
    return signature;
}

bool OsdInfoMap::RefusalMayHeal(const std::string& dir, const std::string& name)
{
    std::string fsid;
    return ReadFsid(dir, name, &fsid) == 0;
}

void OsdInfoMap::MarkIncomplete(const std::string& why)
{
    if (!rebuildIncomplete) {
        incompleteReason = why;
    }
    rebuildIncomplete = true;
}

int OsdInfoMap::ListOsdFsids(std::vector<std::string>& list, std::vector<std::string>* signatures)
{
    uid_t saved = geteuid();
    int result = WalkOsdDirs(saved, [&](const OsdRoot& root, const std::string& name) {
        std::string fsid;
        if (ReadFsid(root.path, name, &fsid) == 0) {
            list.push_back(fsid);
            if (signatures != nullptr) {
                signatures->push_back(DirSignature(root.path, name));
            }
        }
    });
    return result != 0 ? result : RestorePrivilege(saved);
}

int OsdInfoMap::ListBcacheDevs(std::vector<std::string>& list, std::vector<std::string>* blocks)
{
    if (Access(DEV_PATH, F_OK) != 0) {
        int error = errno;
        LogCondition(LOG_ERROR, "access /dev error:%d %s\n", error, strerror(error));
        return -1;
    }
    ScopedDir dev(*this, OpenDir(DEV_PATH));
    if (dev.get() == nullptr) {
        int error = errno;
        LogCondition(LOG_ERROR, "opendir /dev error:%d %s\n", error, strerror(error));
        return -1;
    }
    for (struct dirent* entry = ReadDir(dev.get()); entry != nullptr; entry = ReadDir(dev.get())) {
        if (entry->d_type != DT_BLK) {
            continue;
        }
        if (blocks != nullptr) {
            blocks->emplace_back(entry->d_name);
        }
        if (bcacheCheck == 1 && IsBcacheName(entry->d_name) == 0) {
            list.emplace_back(entry->d_name);
        }
    }
    return 0;
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
    std::vector<OsdDirEntry> entries;
    int result = WalkOsdDirs(saved, [&](const OsdRoot& root, const std::string& name) {
        entries.push_back({root.path, name, root.source});
    });
    if (result != 0) {
        return result;
    }
    // Still privileged: pvs, if it must be asked, runs as the superuser, and
    // the devices are read as root.
    OsdScan scan(*this, std::move(entries));
    std::vector<std::vector<OsdInfo>> bySource(sources.size());
    for (size_t at = 0; at < sources.size(); ++at) {
        sources[at]->Collect(scan, bySource[at]);
    }
    lastBlocks = scan.Blocks();
    MergeRecords(bySource);
    watched = WatchedDevices();
    return RestorePrivilege(saved) == 0 ? 0 : ERR_PRIVILEGE;
}
