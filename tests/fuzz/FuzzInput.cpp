#include "fuzz/FuzzInput.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

[[noreturn]] void Refuse(const char* step)
{
    std::fprintf(stderr, "fuzz: cannot set up a private host (%s: %s); run as root or allow user namespaces\n",
                 step, std::strerror(errno));
    std::exit(2);
}

// Maps the caller's user and group to root in a new user namespace.
void MapToRoot(uid_t uid, gid_t gid)
{
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
}

} // namespace

void EnterScratchHost()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        Refuse("unshare");
    }
    if (uid != 0) {
        MapToRoot(uid, gid);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        Refuse("making / private");
    }
    if (mount("quelvar-fuzz", "/var/log", "tmpfs", 0, "mode=0755") != 0) {
        Refuse("mounting a tmpfs over /var/log");
    }
    if (mkdir("/var/log/quelvar", 0750) != 0) {
        Refuse("mkdir /var/log/quelvar");
    }
}

void FuzzFail(const char* message)
{
    std::fprintf(stderr, "%s\n", message);
    std::abort();
}
