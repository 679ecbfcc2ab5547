// The one seam between the daemon's classes and the kernel.
//
// Every domain class derives from SystemApi and reaches files, directories,
// devices and pipes only through these operations, by virtual dispatch, so
// that a test can derive from the class under test and simulate the kernel.
// Each operation forwards its arguments unchanged and returns the call's
// result unchanged, with errno as the call left it: no logging, no retry.
//
// The slot order is part of the class layout and is kept as declared.
#ifndef QUELVAR_SYS_SYSTEMAPI_H
#define QUELVAR_SYS_SYSTEMAPI_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <istream>
#include <string>

class SystemApi {
public:
    SystemApi() = default;
    virtual ~SystemApi() = default;

    virtual int Open(const char* path, int flags, unsigned int mode);
    // For requests that take a plain value, such as HDIO_SET_WCACHE.
    virtual int Ioctl(int fd, unsigned long request, unsigned long value);
    // For requests that take a pointer to a record, such as SG_IO.
    virtual int IoctlData(int fd, unsigned long request, void* record);
    virtual int Close(int fd);
    virtual char* RealPath(const char* path, char* resolved);
    virtual int Access(const char* path, int mode);
    virtual DIR* OpenDir(const char* path);
    virtual struct dirent* ReadDir(DIR* dir);
    virtual int CloseDir(DIR* dir);
    virtual ssize_t Read(int fd, void* buffer, int count);
    virtual ssize_t Write(int fd, const void* buffer, int count);
    virtual ssize_t ReadLink(const char* path, char* buffer, int size);
    virtual char* ReadLine(char* buffer, int size, FILE* stream);
    virtual int ClosePipe(FILE* stream);
    virtual std::istream& GetLine(std::istream& stream, std::string& line);
    virtual FILE* OpenPipe(const char* command, const char* mode);
    // Follows links; used to take a device's number from its node.
    virtual int Stat(const char* path, struct stat* status);
    // Does not follow a final link; used on files another user owns.
    virtual int Lstat(const char* path, struct stat* status);
    // preadv2 of one buffer at `offset` with its flags: RWF_NOWAIT takes
    // only what the page cache holds and fails with EAGAIN otherwise.
    virtual ssize_t ReadAt(int fd, void* buffer, int count, off_t offset, int flags);
    // posix_fadvise; its result is an error number (0 done), not -1/errno.
    virtual int Advise(int fd, off_t offset, off_t length, int advice);
};

#endif
