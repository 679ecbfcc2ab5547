#include "sys/RealPath.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "sys/SafeString.h"

namespace {

constexpr size_t FD_LINK_SIZE = 64;
constexpr const char DELETED_SUFFIX[] = " (deleted)";

bool EndsWithDeleted(const char* text, size_t length)
{
    const size_t suffix = sizeof(DELETED_SUFFIX) - 1;
    return length >= suffix && memcmp(text + length - suffix, DELETED_SUFFIX, suffix) == 0;
}

} // namespace

// libc's realpath asks readlink about every component, some twenty calls for
// a sysfs device link. The kernel resolves the whole path once when it is
// opened as a location only (O_PATH: no driver's open runs, no permission on
// the file itself is needed), and its descriptor link in /proc names what it
// reached.
char* ResolveRealPath(const char* path, char* resolved)
{
    if (path == nullptr || resolved == nullptr || path[0] == '\0') {
        return realpath(path, resolved);
    }
    const int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return realpath(path, resolved);
    }
    char link[FD_LINK_SIZE];
    if (memset_s(link, sizeof(link), 0, sizeof(link)) != 0 ||
        snprintf_s(link, sizeof(link), sizeof(link) - 1, "/proc/self/fd/%d", fd) < 0) {
        (void)close(fd);
        return realpath(path, resolved);
    }
    const ssize_t length = readlink(link, resolved, PATH_MAX);
    (void)close(fd);
    // No /proc, a name that fills the buffer, one outside this root or of a
    // file deleted meanwhile: realpath answers those.
    if (length <= 0 || length >= PATH_MAX || resolved[0] != '/' ||
        EndsWithDeleted(resolved, static_cast<size_t>(length))) {
        return realpath(path, resolved);
    }
    resolved[length] = '\0';
    return resolved;
}
