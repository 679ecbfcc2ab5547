// Scoped owners of the handles the daemon's classes get from the facade:
// each closes its handle through the facade on every path, so that "closed
// on every path" is structural and a faked kernel sees the close.
#ifndef QUELVAR_SYS_SCOPEDHANDLES_H
#define QUELVAR_SYS_SCOPEDHANDLES_H

#include <dirent.h>

#include "sys/SystemApi.h"

// Owns a descriptor and closes it through the facade.
class ScopedFd {
public:
    ScopedFd(SystemApi& owner, int descriptor) : api(owner), fd(descriptor) {}
    ~ScopedFd()
    {
        if (fd >= 0) {
            (void)api.Close(fd);
        }
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd; }
    // Gives the descriptor up unclosed: the caller keeps it.
    int release()
    {
        const int kept = fd;
        fd = -1;
        return kept;
    }

private:
    SystemApi& api;
    int fd;
};

// Owns a directory stream and closes it through the facade, at the end of
// the scope or earlier where the caller's order of steps requires it.
class ScopedDir {
public:
    ScopedDir(SystemApi& owner, DIR* stream) : api(owner), dir(stream) {}
    ~ScopedDir() { Close(); }
    ScopedDir(const ScopedDir&) = delete;
    ScopedDir& operator=(const ScopedDir&) = delete;
    DIR* get() const { return dir; }
    void Close()
    {
        if (dir != nullptr) {
            (void)api.CloseDir(dir);
            dir = nullptr;
        }
    }

private:
    SystemApi& api;
    DIR* dir;
};

#endif
