// What the sources of one rebuild read once for all of them.
#include <sys/stat.h>

#include <algorithm>

#include "osd/OsdInfoMap.h"
#include "osd/OsdSource.h"
#include "sys/BlockStack.h"
#include "sys/ScopedHandles.h"

namespace {

// True when another block device holds `name` (a mapping, a bcache or md
// device over it): what lies in its block 0 is its holder's, never a label
// an OSD uses. A device whose holders cannot be listed counts as free.
bool Held(SystemApi& api, const std::string& sysPath, const std::string& name)
{
    const std::string holders = sysPath + "/class/block/" + name + "/holders";
    ScopedDir list(api, api.OpenDir(holders.c_str()));
    if (list.get() == nullptr) {
        return false;
    }
    for (struct dirent* entry = api.ReadDir(list.get()); entry != nullptr; entry = api.ReadDir(list.get())) {
        if (entry->d_name[0] != '.') {
            return true;
        }
    }
    return false;
}

} // namespace

OsdScan::OsdScan(OsdInfoMap& inventory, std::vector<OsdDirEntry> entries) : map(inventory), dirs(std::move(entries))
{
}

int OsdScan::Lvm(const LvmReport*& report)
{
    if (!lvmRead) {
        lvmRead = true;
        lvmState = map.ReadLvmReport(lvm);
    }
    report = &lvm;
    return lvmState;
}

const std::map<std::string, Block0>& OsdScan::Blocks()
{
    // A host without bcache devices has nothing a label could oblige.
    if (!blocksRead && !map.devList.empty()) {
        blocksRead = true;
        // Every bcache device, held or not: a physical volume is held by
        // its volumes, and its LVM label says whether LVM must be asked.
        std::vector<std::string> names = map.devList;
        for (const std::string& name : map.blockList) {
            if (BcacheOf(name).empty() && !Held(map, map.sysPath, name)) {
                names.push_back(name);
            }
        }
        ReadBlock0s(map, map.devPath, names, blocks);
    }
    return blocks;
}

std::string OsdScan::BcacheOf(const std::string& name) const
{
    const bool listed = std::find(map.devList.begin(), map.devList.end(), name) != map.devList.end();
    return listed ? WholeBcacheName(name) : std::string();
}

std::vector<std::string> OsdScan::BcacheBelow(const std::string& name)
{
    struct stat status {};
    if (map.Stat((map.devPath + name).c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return {};
    }
    auto isBcache = [this](const std::string& device) { return !BcacheOf(device).empty(); };
    BlockStackWalk walk;
    if (WalkBlockStack(map, map.sysPath, status.st_rdev, isBcache, walk) != BLOCK_STACK_DONE) {
        return {};
    }
    std::vector<std::string> found;
    for (const std::string& device : walk.found) {
        const std::string whole = WholeBcacheName(device);
        if (std::find(found.begin(), found.end(), whole) == found.end()) {
            found.push_back(whole);
        }
    }
    std::sort(found.begin(), found.end(), ByDeviceName);
    return found;
}
