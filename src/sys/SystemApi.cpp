#include "sys/SystemApi.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

int SystemApi::Open(const char* path, int flags, unsigned int mode)
{
    return open(path, flags, mode);
}

int SystemApi::Ioctl(int fd, unsigned long request, unsigned long value)
{
    return ioctl(fd, request, value);
}

int SystemApi::IoctlData(int fd, unsigned long request, void* record)
{
    return ioctl(fd, request, record);
}

int SystemApi::Close(int fd)
{
    return close(fd);
}

char* SystemApi::RealPath(const char* path, char* resolved)
{
    return realpath(path, resolved);
}

int SystemApi::Access(const char* path, int mode)
{
    return access(path, mode);
}

DIR* SystemApi::OpenDir(const char* path)
{
    return opendir(path);
}

struct dirent* SystemApi::ReadDir(DIR* dir)
{
    return readdir(dir);
}

int SystemApi::CloseDir(DIR* dir)
{
    return closedir(dir);
}

// The int counts are widened as signed values, so a negative count reaches
// the kernel as a huge size and fails there, as the call itself would.
ssize_t SystemApi::Read(int fd, void* buffer, int count)
{
    return read(fd, buffer, static_cast<size_t>(static_cast<ssize_t>(count)));
}

ssize_t SystemApi::Write(int fd, const void* buffer, int count)
{
    return write(fd, buffer, static_cast<size_t>(static_cast<ssize_t>(count)));
}

ssize_t SystemApi::ReadLink(const char* path, char* buffer, int size)
{
    return readlink(path, buffer, static_cast<size_t>(static_cast<ssize_t>(size)));
}

char* SystemApi::ReadLine(char* buffer, int size, FILE* stream)
{
    return fgets(buffer, size, stream);
}

int SystemApi::ClosePipe(FILE* stream)
{
    return pclose(stream);
}

std::istream& SystemApi::GetLine(std::istream& stream, std::string& line)
{
    return std::getline(stream, line);
}

FILE* SystemApi::OpenPipe(const char* command, const char* mode)
{
    return popen(command, mode);
}

int SystemApi::Stat(const char* path, struct stat* status)
{
    return stat(path, status);
}

int SystemApi::Lstat(const char* path, struct stat* status)
{
    return lstat(path, status);
}

ssize_t SystemApi::ReadAt(int fd, void* buffer, int count, off_t offset, int flags)
{
    struct iovec piece = {buffer, static_cast<size_t>(static_cast<ssize_t>(count))};
    return preadv2(fd, &piece, 1, offset, flags);
}

int SystemApi::Advise(int fd, off_t offset, off_t length, int advice)
{
    return posix_fadvise(fd, offset, length, advice);
}
