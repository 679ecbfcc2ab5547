#include "sys/CheckedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/SafeString.h"

namespace {

constexpr unsigned CHECKED_FILE_MODE = 0600;

bool IsSafeChar(unsigned char c)
{
    // The daemon never changes its locale, so isalnum is the C locale's and
    // every byte of 0x80 and above is refused.
    return isalnum(c) != 0 || c == ' ' || c == '-' || c == '/' || c == '_';
}

} // namespace

int CheckPathChars(const char* text)
{
    for (const char* c = text; *c != '\0'; ++c) {
        if (!IsSafeChar(static_cast<unsigned char>(*c))) {
            return -1;
        }
    }
    return 0;
}

int SafeReadWriteFile(const char* path, void* buffer, int size, int write)
{
    if (path == nullptr || buffer == nullptr) {
        LogCondition(LOG_ERROR, "point error, filePath:%p, buffer:%p\n", static_cast<const void*>(path),
                     buffer);
        return 1;
    }
    if (CheckPathChars(path) != 0) {
        LogCondition(LOG_WARNING, "reject dangerous file path:\"%s\" \n", path);
        return 1;
    }
    return ReadWriteFile(path, buffer, size, write);
}

int ReadWriteFile(const char* path, void* buffer, int size, int write)
{
    char resolved[PATH_BUFFER_SIZE];
    if (memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0) {
        return 1;
    }
    WriteLog(LOG_DEBUG, "file path:\"%s\", fd = %d\n", path, 0);
    // Links such as those under /sys/block are followed on purpose; the
    // character rule has already been applied to what the caller named.
    if (realpath(path, resolved) == nullptr) {
        LogCondition(LOG_ERROR, "realpath failed\n");
        return 1;
    }
    // Never O_CREAT: the attribute must already exist. O_NONBLOCK keeps a
    // FIFO planted in its place from stalling the daemon.
    int flags = (write != 0 ? O_WRONLY : O_RDONLY) | O_NONBLOCK;
    int fd = open(resolved, flags, CHECKED_FILE_MODE);
    if (fd < 0) {
        LogCondition(LOG_ERROR, "open %s failed\n", resolved);
        return 1;
    }
    size_t count = static_cast<size_t>(static_cast<ssize_t>(size));
    ssize_t done = write != 0 ? ::write(fd, buffer, count) : ::read(fd, buffer, count);
    (void)close(fd);
    if (done < 0) {
        LogCondition(LOG_ERROR, "file operation failed %d\n", static_cast<int>(done));
        return 1;
    }
    return 0;
}
