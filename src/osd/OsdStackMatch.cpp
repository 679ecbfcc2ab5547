// The second way an OSD is tied to a bcache device: the kernel's block
// stack, for link texts that name neither the device nor its volume group
// (dm-crypt mappings, LVM over dm-crypt, /dev/disk/by-partuuid links).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "osd/OsdInfoMap.h"
#include "sys/BlockStack.h"
#include "sys/Log.h"

void OsdInfoMap::MatchByBlockStack(const std::vector<std::string>& blockPaths)
{
    auto isBcache = [this](const std::string& name) {
        return std::find(devList.begin(), devList.end(), name) != devList.end();
    };
    for (size_t i = 0; i < osdInfoList.size() && i < blockPaths.size(); ++i) {
        OsdInfo& info = osdInfoList[i];
        // The name match keeps precedence wherever it found a device.
        if (info.engineType != ENGINE_BLUESTORE || !info.block.empty() || devList.empty()) {
            continue;
        }
        const char* path = blockPaths[i].c_str();
        struct stat status {};
        if (Stat(path, &status) != 0) {
            int error = errno;
            WriteLog(LOG_ERROR, "stat %s error:%d %s\n", path, error, strerror(error));
            // A mapping not made yet, as while an encrypted OSD is opened:
            // worth another look.
            MarkIncomplete();
            continue;
        }
        // A file-backed OSD, as test clusters make them, has no stack.
        if (!S_ISBLK(status.st_mode)) {
            continue;
        }
        BlockStackWalk walk;
        int result = WalkBlockStack(*this, sysPath, status.st_rdev, isBcache, walk);
        if (result == BLOCK_STACK_UNREADABLE) {
            WriteLog(LOG_WARNING, "block stack of %s: cannot read %s error:%d %s\n", path, walk.where.c_str(),
                     walk.error, strerror(walk.error));
            MarkIncomplete();
        } else if (result != BLOCK_STACK_DONE) {
            WriteLog(LOG_WARNING, "block stack of %s: %s at %s\n", path, BlockStackReason(result),
                     walk.where.c_str());
        } else if (walk.found.size() > 1) {
            // The record names one device; choosing one would leave the
            // others' disks as they are without a word.
            WriteLog(LOG_WARNING, "block stack of %s: on %zu bcache devices, %s and %s\n", path,
                     walk.found.size(), walk.found[0].c_str(), walk.found[1].c_str());
        } else if (walk.found.size() == 1) {
            info.block = walk.found[0];
            WriteLog(LOG_INFO, "block stack of %s: on %s\n", path, info.block.c_str());
        }
    }
}
