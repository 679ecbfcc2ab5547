#include "support/PrivateMounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace {
bool g_private = false;
std::string g_reason = "not entered";
std::multiset<std::string> g_scratch;
} // namespace

bool EnterPrivateMountNamespace(std::string* reason)
{
    // The test binaries interpose geteuid; ask the kernel directly.
    if (syscall(SYS_geteuid) != 0) {
        *reason = "not running as root";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *reason = std::string("unshare(CLONE_NEWNS) failed: ") + strerror(errno);
        return false;
    }
    // Keep every later mount out of the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *reason = std::string("making / private failed: ") + strerror(errno);
        return false;
    }
    return true;
}

bool HavePrivateMounts()
{
    return g_private;
}

const std::string& PrivateMountsReason()
{
    return g_reason;
}

void InitPrivateMounts()
{
    g_private = EnterPrivateMountNamespace(&g_reason);
}

ScratchMount::ScratchMount(const std::string& path) : target(path)
{
    mounted = HavePrivateMounts() && mount("quelvar-test", path.c_str(), "tmpfs", 0, "mode=0755") == 0;
    if (mounted) {
        g_scratch.insert(target);
    }
}

ScratchMount::~ScratchMount()
{
    if (mounted) {
        (void)umount2(target.c_str(), MNT_DETACH);
        g_scratch.erase(g_scratch.find(target));
    }
}

bool UnderScratchMount(const std::string& path)
{
    for (const std::string& root : g_scratch) {
        if (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/')) {
            return true;
        }
    }
    return false;
}
