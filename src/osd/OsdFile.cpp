#include "osd/OsdFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"

int BuildOsdPath(char (&path)[PATH_BUFFER_SIZE], const std::string& dir, const std::string& name,
                 const char* suffix)
{
    if (FormatPath(path, "%s%s%s", dir.c_str(), name.c_str(), suffix) < 0) {
        LogCondition(LOG_ERROR, "snprintf_s %s%s%s error\n", dir.c_str(), name.c_str(), suffix);
        return -1;
    }
    return 0;
}

int ReadFirstLine(SystemApi& api, const char* path, std::string& line)
{
    // Checked before opening: merely opening a device node can act on the
    // device (a watchdog reboots the host when closed unprepared), and a FIFO
    // without a writer would hold a blocking open forever. The ceph user who
    // owns the directory cannot make device nodes, only links to them, so the
    // file is never followed through a link: not here, and not at the open,
    // in case a link was swapped in since.
    struct stat status {};
    if (api.Lstat(path, &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    ScopedFd fd(api, api.Open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0));
    if (fd.get() < 0) {
        return -1;
    }
    // A FIFO swapped in since the check opened without blocking; refuse it.
    if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    // Not zeroed: only the `filled` bytes the reads stored are ever looked at,
    // each once, as it arrives.
    char buffer[OSD_LINE_MAX];
    size_t filled = 0;
    bool lineEnd = false;
    while (!lineEnd && filled < sizeof(buffer)) {
        ssize_t got = api.Read(fd.get(), buffer + filled, static_cast<int>(sizeof(buffer) - filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        lineEnd = memchr(buffer + filled, '\n', static_cast<size_t>(got)) != nullptr;
        filled += static_cast<size_t>(got);
    }
    if (!lineEnd && filled == sizeof(buffer)) {
        return -1;
    }
    std::istringstream stream(std::string(buffer, filled));
    (void)api.GetLine(stream, line);
    return 0;
}

int ReadOsdFile(SystemApi& api, const std::string& dir, const std::string& name, const char* suffix,
                std::string& line)
{
    char path[PATH_BUFFER_SIZE];
    // No existence test first: the lstat that begins the read refuses a
    // missing file as it refuses a link, and costs the same one call.
    if (BuildOsdPath(path, dir, name, suffix) != 0) {
        return -1;
    }
    return ReadFirstLine(api, path, line);
}
