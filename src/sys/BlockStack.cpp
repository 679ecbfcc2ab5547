#include "sys/BlockStack.h"

#include <dirent.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"

namespace {

class Walker {
public:
    Walker(SystemApi& facade, const std::function<bool(const std::string&)>& accept, BlockStackWalk& result)
        : api(facade), isTarget(accept), walk(result)
    {
    }

    // `dir` is a canonical sysfs directory of a block device.
    int Visit(const std::string& dir, int depth)
    {
        if (onPath.count(dir) != 0) {
            return Stop(BLOCK_STACK_LOOP, dir, 0);
        }
        // Reached before along another branch (a volume group on two
        // partitions of one disk): nothing new below it.
        if (!visited.insert(dir).second) {
            return BLOCK_STACK_DONE;
        }
        // A partition is never a target itself: /dev lists bcache0p1 beside
        // bcache0, but only the whole device is the driver's.
        bool partition = IsPartitionDir(api, dir);
        std::string name = KernelName(dir);
        if (!partition && isTarget(name)) {
            walk.found.push_back(name);
            return BLOCK_STACK_DONE;
        }
        if (depth >= BLOCK_STACK_MAX_DEPTH) {
            return Stop(BLOCK_STACK_TOO_DEEP, dir, 0);
        }
        onPath.insert(dir);
        int result = partition ? Visit(WholeDiskDir(dir), depth + 1) : Slaves(dir, depth);
        onPath.erase(dir);
        return result;
    }

    // The canonical directory a sysfs link leads to.
    int Resolve(const std::string& link, std::string& dir)
    {
        char resolved[PATH_BUFFER_SIZE];
        if (link.size() >= sizeof(resolved)) {
            return Stop(BLOCK_STACK_UNREADABLE, link, ENAMETOOLONG);
        }
        if (memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0 ||
            api.RealPath(link.c_str(), resolved) == nullptr) {
            return Stop(BLOCK_STACK_UNREADABLE, link, errno);
        }
        dir = resolved;
        return BLOCK_STACK_DONE;
    }

private:
    int Slaves(const std::string& dir, int depth)
    {
        const std::string slaves = dir + "/slaves";
        ScopedDir list(api, api.OpenDir(slaves.c_str()));
        if (list.get() == nullptr) {
            // No "slaves" directory: nothing below this device.
            return errno == ENOENT ? BLOCK_STACK_DONE : Stop(BLOCK_STACK_UNREADABLE, slaves, errno);
        }
        for (struct dirent* entry = api.ReadDir(list.get()); entry != nullptr; entry = api.ReadDir(list.get())) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::string below;
            int result = Resolve(slaves + "/" + entry->d_name, below);
            if (result == BLOCK_STACK_DONE) {
                result = Visit(below, depth + 1);
            }
            if (result != BLOCK_STACK_DONE) {
                return result;
            }
        }
        return BLOCK_STACK_DONE;
    }

    int Stop(int status, const std::string& where, int error)
    {
        walk.where = where;
        walk.error = error;
        return status;
    }

    SystemApi& api;
    const std::function<bool(const std::string&)>& isTarget;
    BlockStackWalk& walk;
    std::set<std::string> onPath;
    std::set<std::string> visited;
};

} // namespace

bool IsPartitionDir(SystemApi& api, const std::string& dir)
{
    return api.Access((dir + "/partition").c_str(), F_OK) == 0;
}

std::string WholeDiskDir(const std::string& partitionDir)
{
    const size_t last = partitionDir.rfind('/');
    return last == std::string::npos ? std::string() : partitionDir.substr(0, last);
}

std::string KernelName(const std::string& dir)
{
    // npos + 1 is 0: a name without a directory is the whole text.
    return dir.substr(dir.rfind('/') + 1);
}

bool IsBcachePartitionName(const std::string& name)
{
    constexpr size_t prefix = 6;  // "bcache"
    const size_t mark = name.rfind('p');
    auto digits = [&](size_t from, size_t to) {
        return to > from && std::all_of(name.begin() + static_cast<std::ptrdiff_t>(from),
                                        name.begin() + static_cast<std::ptrdiff_t>(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    return name.compare(0, prefix, "bcache") == 0 && mark != std::string::npos && digits(prefix, mark) &&
           digits(mark + 1, name.size());
}

std::string WholeBcacheName(const std::string& name)
{
    return IsBcachePartitionName(name) ? name.substr(0, name.rfind('p')) : name;
}

int WalkBlockStack(SystemApi& api, const std::string& sysRoot, dev_t dev,
                   const std::function<bool(const std::string&)>& isTarget, BlockStackWalk& walk)
{
    walk = BlockStackWalk();
    Walker walker(api, isTarget, walk);
    std::string top;
    int result = walker.Resolve(sysRoot + "/dev/block/" + std::to_string(major(dev)) + ":" +
                                    std::to_string(minor(dev)),
                                top);
    return result != BLOCK_STACK_DONE ? result : walker.Visit(top, 0);
}

const char* BlockStackReason(int status)
{
    switch (status) {
    case BLOCK_STACK_DONE:
        return "done";
    case BLOCK_STACK_LOOP:
        return "loop";
    case BLOCK_STACK_TOO_DEEP:
        return "too deep";
    case BLOCK_STACK_UNREADABLE:
        return "unreadable";
    default:
        return "unknown";
    }
}
