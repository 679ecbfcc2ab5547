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
//   <name>.block0   what the device's first 4 KiB hold (zeros when absent)
//   <name>.silent   the device's reads never complete
// A write to a disk's device/rescan attribute makes the disk's queue/
// write_cache attribute reflect its cache, as the kernel's revalidation does.
// A read of a node with RWF_NOWAIT finds the page cache cold until
// readahead was asked for on that descriptor (posix_fadvise WILLNEED), as
// Debian's kernel drops a block device's cache at its last close.
// sleep() is shortened to $QUELVAR_SIM_PAUSE_MS (100) and counted in
// <state>/passes, so that tests run many passes quickly. With
// $QUELVAR_SIM_CLOCK_STEP_S each pause moves the host's monotonic and boot
// clocks on by that many seconds (5 for the real pace, more so that hours
// pass in a few passes); <state>/clock.ahead keeps how far, so that a
// process started later (the report) reads the same clocks. Each pause's
// line in <state>/all.trace ("pause N log=BYTES") gives the bytes the log
// (both generations) holds then. A device that does
// not answer waits out each command's time-out, cut to
// $QUELVAR_SIM_SILENCE_MS (200).
//
// For the benchmark, the simulator's own work is kept apart from the
// daemon's:
//   QUELVAR_SIM_MARKERS=1      each stretch of simulator work is bracketed
//                              by two failed faccessat calls on
//                              "/.quelvar-sim/begin/<call>" and
//                              "/.quelvar-sim/end", <call> naming the one
//                              system call the stretch stands for (empty when
//                              the daemon's own call follows it), so that a
//                              trace can leave the stretch out.
//   QUELVAR_SIM_BENCH=1        no request traces; every pause appends
//                              "pass daemon_cpu_ns rss_kib hwm_kib enter_ns
//                              sim_cpu_ns previous_exit_ns log_bytes" to
//                              <state>/bench.passes (CPU time the simulator
//                              spent taken out; real monotonic clock times).
//   QUELVAR_SIM_STOP_AFTER=N   the Nth pause raises SIGTERM at once, so that
//                              a run ends after exactly N passes.
//   QUELVAR_SIM_WINDOW="K M"   under callgrind: costs are zeroed at pause K
//                              and dumped at pause M.
// Under callgrind the simulator's stretches are never collected.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
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

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

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
using ClockFunction = int (*)(clockid_t, struct timespec*);

std::map<int, std::string>& SimulatedFds()
{
    static std::map<int, std::string> fds;
    return fds;
}

// Descriptors of simulated nodes whose readahead was asked for.
std::map<int, bool>& WarmFds()
{
    static std::map<int, bool> fds;
    return fds;
}

std::string StateDir()
{
    const char* dir = getenv("QUELVAR_SIM_STATE");
    return dir == nullptr ? std::string() : std::string(dir);
}

bool BenchMode()
{
    static const bool bench = getenv("QUELVAR_SIM_BENCH") != nullptr;
    return bench;
}

bool Markers()
{
    static const bool markers = getenv("QUELVAR_SIM_MARKERS") != nullptr;
    return markers;
}

long long ClockNs(clockid_t clock)
{
    static auto realClock = Real<ClockFunction>("clock_gettime");
    struct timespec now {};
    (void)realClock(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// How far the host's monotonic and boot clocks are ahead of the real ones:
// the pauses' seconds no one waited.
long long g_clockAheadNs = 0;

// The bytes the daemon's log holds, the old generation included (one
// rotation between two looks loses nothing).
long long LogBytes()
{
    long long bytes = 0;
    for (const char* path : {"/var/log/quelvar/quelvar.log", "/var/log/quelvar/quelvar.log.old"}) {
        struct stat st {};
        bytes += stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    }
    return bytes;
}

// CPU time spent inside the simulator's own stretches so far.
long long g_simCpuNs = 0;
long long g_stretchStartNs = 0;
long long g_pauseExitNs = 0;
int g_depth = 0;

// Brackets the simulator's own work; `standsFor` names the system call the
// daemon made, which the work replaces (nullptr: the daemon's call follows).
class SimWork {
public:
    explicit SimWork(const char* standsFor)
    {
        if (g_depth++ != 0) {
            return;
        }
        CALLGRIND_TOGGLE_COLLECT;
        if (Markers()) {
            char marker[64];
            std::snprintf(marker, sizeof(marker), "/.quelvar-sim/begin/%s", standsFor == nullptr ? "" : standsFor);
            (void)syscall(SYS_faccessat, AT_FDCWD, marker, F_OK, 0);
        }
        if (BenchMode()) {
            g_stretchStartNs = ClockNs(CLOCK_THREAD_CPUTIME_ID);
        }
    }
    ~SimWork()
    {
        if (--g_depth != 0) {
            return;
        }
        if (BenchMode()) {
            g_simCpuNs += ClockNs(CLOCK_THREAD_CPUTIME_ID) - g_stretchStartNs;
        }
        if (Markers()) {
            (void)syscall(SYS_faccessat, AT_FDCWD, "/.quelvar-sim/end", F_OK, 0);
        }
        CALLGRIND_TOGGLE_COLLECT;
    }
    SimWork(const SimWork&) = delete;
    SimWork& operator=(const SimWork&) = delete;
};

// VmRSS and VmHWM in KiB, read without allocating.
void MemoryKib(long* rss, long* hwm)
{
    *rss = -1;
    *hwm = -1;
    static auto realOpen = Real<OpenFunction>("open");
    int fd = realOpen("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char text[4096] = {};
    ssize_t length = read(fd, text, sizeof(text) - 1);
    static auto realClose = Real<CloseFunction>("close");
    realClose(fd);
    if (length <= 0) {
        return;
    }
    const char* found = strstr(text, "VmHWM:");
    if (found != nullptr) {
        *hwm = std::atol(found + 6);
    }
    found = strstr(text, "VmRSS:");
    if (found != nullptr) {
        *rss = std::atol(found + 6);
    }
}

void RecordPass(unsigned pass)
{
    if (BenchMode()) {
        long rss = 0;
        long hwm = 0;
        MemoryKib(&rss, &hwm);
        std::ofstream(StateDir() + "/bench.passes", std::ios::app)
            << pass << " " << g_stretchStartNs - g_simCpuNs << " " << rss << " " << hwm << " "
            << ClockNs(CLOCK_MONOTONIC) << " " << g_simCpuNs << " " << g_pauseExitNs << " " << LogBytes()
            << "\n";
    }
    const char* window = getenv("QUELVAR_SIM_WINDOW");
    unsigned from = 0;
    unsigned to = 0;
    if (window != nullptr && std::sscanf(window, "%u %u", &from, &to) == 2) {
        if (pass == from) {
            CALLGRIND_ZERO_STATS;
        } else if (pass == to) {
            CALLGRIND_DUMP_STATS_AT("window");
        }
    }
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
// A launcher between simhost and the daemon (valgrind's wrapper script and
// its loader) keeps the preload, so that it reaches the daemon.
__attribute__((constructor)) void ForgetPreload()
{
    if (strcmp(program_invocation_short_name, "quelvar") == 0) {
        unsetenv("LD_PRELOAD");
    }
}

// A process started after the daemon's pauses reads the clocks they moved.
__attribute__((constructor)) void ReadClockAhead()
{
    std::ifstream(StateDir() + "/clock.ahead") >> g_clockAheadNs;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    // An O_PATH open never reaches a driver: the kernel only resolves the
    // path, as it does for any other file.
    std::string name;
    if ((flags & O_PATH) == 0) {
        SimWork work(nullptr);
        name = SimulatedNode(path);
    }
    if (!name.empty()) {
        SimWork standIn("openat");
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
    std::string name;
    if ((flags & O_PATH) == 0 && (path[0] == '/' || dirfd == AT_FDCWD)) {
        SimWork work(nullptr);
        name = SimulatedNode(path);
    }
    if (!name.empty()) {
        SimWork standIn("openat");
        return OpenStandIn(path, name, flags);
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
    WarmFds().erase(fd);
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
    SimWork work("ioctl");
    return SimDeviceIoctl(StateDir(), found->second, request, argument);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    static auto realWrite = Real<WriteFunction>("write");
    ssize_t written = realWrite(fd, buffer, count);
    if (written > 0) {
        const int error = errno;
        SimWork work(nullptr);
        std::string diskDir = DiskOfRescan(fd);
        if (!diskDir.empty()) {
            SimDeviceRescan(StateDir(), diskDir);
        }
        errno = error;
    }
    return written;
}

ssize_t preadv2(int fd, const struct iovec* iov, int count, off_t offset, int flags)
{
    auto found = SimulatedFds().find(fd);
    if (found == SimulatedFds().end()) {
        using Function = ssize_t (*)(int, const struct iovec*, int, off_t, int);
        static auto realPreadv2 = Real<Function>("preadv2");
        return realPreadv2(fd, iov, count, offset, flags);
    }
    SimWork work("preadv2");
    const std::string base = StateDir() + "/" + found->second;
    if (access((base + ".silent").c_str(), F_OK) == 0 || ((flags & RWF_NOWAIT) != 0 && WarmFds().count(fd) == 0)) {
        errno = EAGAIN;
        return -1;
    }
    std::string block(4096, '\0');
    std::ifstream((base + ".block0").c_str(), std::ios::binary).read(&block[0], 4096);
    ssize_t copied = 0;
    for (int at = 0; at < count; ++at) {
        const size_t from = static_cast<size_t>(offset) + static_cast<size_t>(copied);
        const size_t length = from >= block.size() ? 0 : std::min(iov[at].iov_len, block.size() - from);
        std::memcpy(iov[at].iov_base, block.data() + from, length);
        copied += static_cast<ssize_t>(length);
    }
    return copied;
}

ssize_t preadv64v2(int fd, const struct iovec* iov, int count, off_t offset, int flags)
{
    return preadv2(fd, iov, count, offset, flags);
}

int posix_fadvise(int fd, off_t offset, off_t length, int advice)
{
    if (SimulatedFds().count(fd) == 0) {
        using Function = int (*)(int, off_t, off_t, int);
        static auto realAdvise = Real<Function>("posix_fadvise");
        return realAdvise(fd, offset, length, advice);
    }
    SimWork work("fadvise64");
    if (advice == POSIX_FADV_WILLNEED) {
        WarmFds()[fd] = true;
    }
    return 0;
}

int posix_fadvise64(int fd, off_t offset, off_t length, int advice)
{
    return posix_fadvise(fd, offset, length, advice);
}

int clock_gettime(clockid_t clock, struct timespec* now)
{
    const int result = Real<ClockFunction>("clock_gettime")(clock, now);
    if (result == 0 &&
        (clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME)) {
        const long long ns = now->tv_nsec + g_clockAheadNs % 1000000000LL;
        now->tv_sec += static_cast<time_t>(g_clockAheadNs / 1000000000LL + ns / 1000000000LL);
        now->tv_nsec = ns % 1000000000LL;
    }
    return result;
}

unsigned int sleep(unsigned int /*seconds*/)
{
    SimWork work("clock_nanosleep");
    std::string passes = StateDir() + "/passes";
    unsigned count = 0;
    {
        std::ifstream in(passes);
        in >> count;
    }
    std::ofstream(passes) << count + 1 << "\n";
    (void)chmod(passes.c_str(), 0666);
    if (!BenchMode()) {
        std::ofstream(StateDir() + "/all.trace", std::ios::app)
            << "pause " << count + 1 << " log=" << LogBytes() << "\n";
        (void)chmod((StateDir() + "/all.trace").c_str(), 0666);
    }
    RecordPass(count + 1);
    const char* stop = getenv("QUELVAR_SIM_STOP_AFTER");
    if (stop != nullptr && std::strtoul(stop, nullptr, 10) == count + 1) {
        // As a SIGTERM that arrives during the pause: handled, then the
        // pause ends early.
        (void)raise(SIGTERM);
        return 1;
    }
    const char* step = getenv("QUELVAR_SIM_CLOCK_STEP_S");
    if (step != nullptr) {
        g_clockAheadNs += std::atoll(step) * 1000000000LL;
        std::ofstream(StateDir() + "/clock.ahead") << g_clockAheadNs << "\n";
        (void)chmod((StateDir() + "/clock.ahead").c_str(), 0666);
    }
    const char* pause = getenv("QUELVAR_SIM_PAUSE_MS");
    long ms = pause == nullptr ? 100 : std::atol(pause);
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    // An interrupting signal ends the pause early, as it ends sleep().
    const int slept = nanosleep(&delay, nullptr);
    if (BenchMode()) {
        g_pauseExitNs = ClockNs(CLOCK_MONOTONIC);
    }
    return slept == 0 ? 0 : 1;
}

} // extern "C"
