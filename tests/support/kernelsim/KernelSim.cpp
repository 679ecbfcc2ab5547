// A simulated kernel for the unchanged quelvar binary, loaded with
// LD_PRELOAD on the simulated host. Test-only: never linked into the daemon.
//
// Device nodes of the simulated host carry major number 251, which has no
// driver here. Opening one yields a stand-in descriptor (on /dev/null) that
// this library remembers; an ioctl on it is answered by the simulated bcache
// driver or the simulated disk of that node, whose state lives in files of
// $QUELVAR_SIM_STATE so that tests can set and read it:
//   <name>.kind     bcache, sata or scsi (written by the simulated host)
//   <name>.state    the device model's saved state
//   <name>.trace    one line per request the device received
// A write to a disk's device/rescan attribute makes the disk's queue/
// write_cache attribute reflect its cache, as the kernel's revalidation does.
// sleep() is shortened to $QUELVAR_SIM_PAUSE_MS (100) and counted in
// <state>/passes, so that tests run many passes quickly.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/kernelsim/SimDevices.h"

namespace {

constexpr unsigned SIM_MAJOR = 251;

template <class Function>
Function Real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);
using CloseFunction = int (*)(int);
using IoctlFunction = int (*)(int, unsigned long, ...);
using WriteFunction = ssize_t (*)(int, const void*, size_t);

std::map<int, std::string>& SimulatedFds()
{
    static std::map<int, std::string> fds;
    return fds;
}

std::string StateDir()
{
    const char* dir = getenv("QUELVAR_SIM_STATE");
    return dir == nullptr ? std::string() : std::string(dir);
}

// The device name of a simulated node, or empty for anything else.
std::string SimulatedNode(const char* path)
{
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0 || !S_ISBLK(st.st_mode) || major(st.st_rdev) != SIM_MAJOR) {
        return std::string();
    }
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        return std::string();
    }
    const char* slash = strrchr(resolved, '/');
    return std::string(slash == nullptr ? resolved : slash + 1);
}

// The node's own permissions are checked by opening it, which the kernel
// refuses with ENXIO only after they passed: a daemon that forgot to raise
// privilege still fails here as it would on a real host.
int OpenStandIn(const char* path, const std::string& name, int flags)
{
    static auto realOpen = Real<OpenFunction>("open");
    int probe = realOpen(path, flags);
    if (probe >= 0) {
        static auto realClose = Real<CloseFunction>("close");
        realClose(probe);
    } else if (errno != ENXIO) {
        return -1;
    }
    int fd = realOpen("/dev/null", (flags & O_CLOEXEC) | O_RDONLY);
    if (fd >= 0) {
        SimulatedFds()[fd] = name;
    }
    return fd;
}

mode_t ModeArgument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

std::string DiskOfRescan(int fd)
{
    char link[64];
    char target[PATH_MAX] = {};
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof(target) - 1);
    if (length <= 0) {
        return std::string();
    }
    std::string path(target, static_cast<size_t>(length));
    const std::string suffix = "/device/rescan";
    if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::string();
    }
    std::string diskDir = path.substr(0, path.size() - suffix.size());
    return diskDir;
}

// The daemon's children (the shell and pvs) run unsimulated: they are not
// the daemon, and under an emulator they are not even of its architecture.
__attribute__((constructor)) void ForgetPreload()
{
    unsetenv("LD_PRELOAD");
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    std::string name = SimulatedNode(path);
    if (!name.empty()) {
        return OpenStandIn(path, name, flags);
    }
    static auto realOpen = Real<OpenFunction>("open");
    return realOpen(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return open(path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char* path, int flags)
{
    return open(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    if (path[0] == '/' || dirfd == AT_FDCWD) {
        std::string name = SimulatedNode(path);
        if (!name.empty()) {
            return OpenStandIn(path, name, flags);
        }
    }
    static auto realOpenAt = Real<OpenAtFunction>("openat");
    return realOpenAt(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return openat(dirfd, path, flags, mode);
}

int close(int fd)
{
    SimulatedFds().erase(fd);
    static auto realClose = Real<CloseFunction>("close");
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    auto found = SimulatedFds().find(fd);
    if (found == SimulatedFds().end()) {
        static auto realIoctl = Real<IoctlFunction>("ioctl");
        return realIoctl(fd, request, argument);
    }
    return SimDeviceIoctl(StateDir(), found->second, request, argument);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    static auto realWrite = Real<WriteFunction>("write");
    ssize_t written = realWrite(fd, buffer, count);
    if (written > 0) {
        std::string diskDir = DiskOfRescan(fd);
        if (!diskDir.empty()) {
            SimDeviceRescan(StateDir(), diskDir);
        }
    }
    return written;
}

unsigned int sleep(unsigned int /*seconds*/)
{
    std::string passes = StateDir() + "/passes";
    unsigned count = 0;
    {
        std::ifstream in(passes);
        in >> count;
    }
    std::ofstream(passes) << count + 1 << "\n";
    std::ofstream(StateDir() + "/all.trace", std::ios::app) << "pause " << count + 1 << "\n";
    (void)chmod(passes.c_str(), 0666);
    (void)chmod((StateDir() + "/all.trace").c_str(), 0666);
    const char* pause = getenv("QUELVAR_SIM_PAUSE_MS");
    long ms = pause == nullptr ? 100 : std::atol(pause);
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    // An interrupting signal ends the pause early, as it ends sleep().
    return nanosleep(&delay, nullptr) == 0 ? 0 : 1;
}

} // extern "C"
