#include "sys/Log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sys/LogText.h"
#include "sys/SafeString.h"

namespace {

constexpr size_t LOG_BUFFER_SIZE = LOG_LINE_MAX + 1;

bool g_silenced = false;

// One process-wide clock reading, as the writer is single-threaded and not
// reentrant; it must never be called from a signal handler.
time_t g_now;

const char* LevelTag(int level)
{
    switch (level) {
    case LOG_INFO:
        return "[INFO]";
    case LOG_WARNING:
        return "[WARNING]";
    case LOG_ERROR:
        return "[ERROR]";
    default:
        return "[DEBUG]";
    }
}

// The id the last written line carried, reused by the lines that are only
// composed (see ComposePrefix).
unsigned g_lastThreadId;

// The kernel thread id; the libc wrapper is too recent to rely on, and the
// system call number differs between architectures (178 on AArch64).
unsigned ThreadId()
{
    g_lastThreadId = static_cast<unsigned>(syscall(SYS_gettid));
    return g_lastThreadId;
}

int FormatPrefix(char* line, const struct tm* local, unsigned id, int level)
{
    if (local == nullptr) {
        return snprintf_s(line, LOG_BUFFER_SIZE, LOG_LINE_MAX, "[unknown system time ] [process(%u)][ERROR]", id);
    }
    return snprintf_s(line, LOG_BUFFER_SIZE, LOG_LINE_MAX, "[%04d-%02d-%02d %02d:%02d:%02d][process(%u)]%s[",
                      local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                      local->tm_sec, id, LevelTag(level));
}

int ComposePrefix(char* line, int level)
{
    g_now = time(nullptr);
    // A trace below LOG_INFO never reaches the file: only the length of its
    // prefix counts, against the line limit. Every pass composes one per OSD,
    // so it is composed without system calls: localtime_r does not look at
    // the zone file again (localtime stats it on every call), and the
    // single-threaded daemon's id is the one its last line carried.
    if (level <= 0) {
        struct tm traceTime {};
        const struct tm* local = localtime_r(&g_now, &traceTime);
        return FormatPrefix(line, local, g_lastThreadId != 0 ? g_lastThreadId : ThreadId(), level);
    }
    const struct tm* local = localtime(&g_now);
    return FormatPrefix(line, local, ThreadId(), level);
}

// Opens the current log for appending, as fopen's "a" does, but never
// through a link: the log directory belongs to the daemon's user, who need
// not be root, while lines of privileged steps are written (and the file's
// mode set) as root.
FILE* OpenLog()
{
    int fd = open(LOG_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    // Where fopen's "a" leaves the stream, so that its position is the size.
    FILE* log = lseek(fd, 0, SEEK_END) < 0 ? nullptr : fdopen(fd, "a");
    if (log == nullptr) {
        (void)close(fd);
    }
    return log;
}

// Moves the current log aside when it has grown past the limit and returns
// the stream the line goes to, or null when the log cannot be reopened.
FILE* RotateIfFull(FILE* log)
{
    if (ftell(log) <= LOG_ROTATE_SIZE) {
        return log;
    }
    (void)fchmod(fileno(log), LOG_FILE_OLD_MODE);
    (void)fclose(log);
    if (access(LOG_FILE_OLD, F_OK) == 0 && remove(LOG_FILE_OLD) != 0) {
        return nullptr;
    }
    if (rename(LOG_FILE, LOG_FILE_OLD) != 0) {
        return nullptr;
    }
    return OpenLog();
}

} // namespace

void SilenceLog()
{
    g_silenced = true;
}

void WriteLog(int level, const char* format, ...)
{
    if (g_silenced) {
        return;
    }
    if (format == nullptr) {
        printf("fmt is null\n");
        return;
    }
    char line[LOG_BUFFER_SIZE];
    if (memset_s(line, sizeof(line), 0, sizeof(line)) != 0) {
        return;
    }
    int prefixLength = ComposePrefix(line, level);
    if (prefixLength < 0) {
        printf("prepare data failed %d\n", prefixLength);
        return;
    }
    size_t offset = static_cast<size_t>(prefixLength);
    va_list args;
    va_start(args, format);
    int messageLength = FormatLogText(line + offset, LOG_BUFFER_SIZE - offset, LOG_LINE_MAX - offset, format, args);
    va_end(args);
    if (messageLength < 0) {
        printf("The log info is invalid \n");
        return;
    }
    StripLineEnds(line);
    if (level <= 0) {
        return;
    }

    FILE* log = OpenLog();
    if (log != nullptr) {
        log = RotateIfFull(log);
    }
    if (log == nullptr) {
        printf("Open log file failed \n");
        return;
    }
    int fd = fileno(log);
    (void)flock(fd, LOCK_EX);
    size_t expected = strlen(line) + 1;
    int written = fprintf(log, "%s]\n", line);
    if (written < 0 || static_cast<size_t>(written) < expected) {
        printf("The Disk space is full, writed %d of %zu \n", written, expected);
    }
    (void)flock(fd, LOCK_UN);
    (void)fchmod(fd, LOG_FILE_MODE);
    (void)fclose(log);
}

namespace {

// Hands one existing path to the daemon's user. 0 done, -1 failed.
// The files are handed over without following a link, which anyone running
// as the daemon's user could have planted there to be given a file of root's.
int ChownIfPresent(const char* path, uid_t owner, gid_t group, bool mustExist)
{
    if (!mustExist && access(path, F_OK) != 0) {
        return 0;
    }
    if ((mustExist ? chown(path, owner, group) : lchown(path, owner, group)) != 0) {
        printf("chown %s error:%s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int PrepareOwnership(uid_t owner, gid_t group)
{
    if (access(LOG_DIR, F_OK) != 0 && mkdir(LOG_DIR, LOG_DIR_MODE) != 0) {
        printf("mkdir error:%s\n", strerror(errno));
        return -1;
    }
    if (ChownIfPresent(LOG_DIR, owner, group, true) != 0 ||
        ChownIfPresent(LOG_FILE, owner, group, false) != 0 ||
        ChownIfPresent(LOG_FILE_OLD, owner, group, false) != 0) {
        return -1;
    }
    return 0;
}

} // namespace

int PrepareLogDir()
{
    uid_t savedUid = geteuid();
    gid_t savedGid = getgid();
    // The log is not usable yet, so this follows the usual privilege pattern
    // but reports on standard output and never returns ERR_PRIVILEGE.
    if (savedUid != 0 && setuid(0) != 0) {
        printf("setuid(0) failed: %s\n", strerror(errno));
        return -1;
    }
    int result = PrepareOwnership(savedUid, savedGid);
    if (savedUid != 0 && seteuid(savedUid) != 0) {
        printf("seteuid(%d) failed: %s \n", static_cast<int>(savedUid), strerror(errno));
        result = -1;
    }
    return result;
}
