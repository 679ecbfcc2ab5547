// A faked kernel behind the SystemApi seam.
//
// FakeKernel<T> derives from the class under test and overrides the facade's
// operations with in-memory tables: resolved paths, existing paths, device
// nodes whose ioctls a simulated device answers, directory listings with
// entry types, link texts and canned pipe output. Anything not in a table
// fails as the kernel would (ENOENT), so a test states only what it needs;
// only a file in a tree the test mounted (a scratch /sys) is opened for real.
#ifndef QUELVAR_TESTS_SUPPORT_FAKEKERNEL_H
#define QUELVAR_TESTS_SUPPORT_FAKEKERNEL_H

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/PrivateMounts.h"

// A simulated device node: answers the ioctls issued on its descriptors.
class IoctlDevice {
public:
    virtual ~IoctlDevice() = default;
    // Returns the ioctl's result; sets errno on failure as the kernel would.
    virtual int HandleIoctl(unsigned long request, void* argument) = 0;
    // Requests that take a plain value (HDIO_SET_WCACHE).
    virtual int HandleIoctlValue(unsigned long request, unsigned long value)
    {
        (void)request;
        (void)value;
        errno = ENOTTY;
        return -1;
    }
};

template <class Base>
class FakeKernel : public Base {
public:
    using Base::Base;

    // --- tables a test fills -------------------------------------------------
    // realpath answers: path -> resolved path. Missing: ENOENT.
    std::map<std::string, std::string> realPaths;
    // Paths for which access(F_OK) succeeds.
    std::map<std::string, bool> existing;
    // Device nodes (by resolved path) and the device that answers their ioctls.
    std::map<std::string, IoctlDevice*> devices;
    // errno for an open of a path that should fail although it exists.
    std::map<std::string, int> openErrors;
    // Directory listings: path -> (name, d_type) in directory order.
    std::map<std::string, std::vector<std::pair<std::string, unsigned char>>> directories;
    // readlink answers: path -> link text. Missing: EINVAL if existing, else ENOENT.
    std::map<std::string, std::string> links;

    // --- what the test can observe -------------------------------------------
    std::vector<std::string> opened;     // paths opened, in order
    std::vector<std::string> resolved;   // paths given to realpath, in order
    int openDescriptors = 0;             // opened and not yet closed
    int openStreams = 0;                 // directory streams not yet closed

    int Open(const char* path, int flags, unsigned int mode) override
    {
        opened.push_back(path);
        auto error = openErrors.find(path);
        if (error != openErrors.end()) {
            errno = error->second;
            return -1;
        }
        auto device = devices.find(path);
        if (device == devices.end()) {
            if (!UnderScratchMount(path)) {
                errno = ENOENT;
                return -1;
            }
            const int fd = Base::Open(path, flags, mode);
            if (fd >= 0) {
                realFds.insert(fd);
                ++openDescriptors;
            }
            return fd;
        }
        int fd = nextFd++;
        fds[fd] = device->second;
        ++openDescriptors;
        return fd;
    }

    int Ioctl(int fd, unsigned long request, unsigned long value) override
    {
        IoctlDevice* device = DeviceOf(fd);
        return device == nullptr ? -1 : device->HandleIoctlValue(request, value);
    }

    int IoctlData(int fd, unsigned long request, void* record) override
    {
        IoctlDevice* device = DeviceOf(fd);
        return device == nullptr ? -1 : device->HandleIoctl(request, record);
    }

    int Close(int fd) override
    {
        if (realFds.erase(fd) != 0) {
            --openDescriptors;
            return Base::Close(fd);
        }
        if (fds.erase(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        --openDescriptors;
        return 0;
    }

    char* RealPath(const char* path, char* resolvedPath) override
    {
        resolved.push_back(path);
        auto found = realPaths.find(path);
        if (found == realPaths.end()) {
            errno = ENOENT;
            return nullptr;
        }
        std::snprintf(resolvedPath, 4096, "%s", found->second.c_str());
        return resolvedPath;
    }

    int Access(const char* path, int mode) override
    {
        (void)mode;
        if (existing.count(path) != 0 || devices.count(path) != 0 || directories.count(path) != 0) {
            return 0;
        }
        errno = ENOENT;
        return -1;
    }

    DIR* OpenDir(const char* path) override
    {
        auto found = directories.find(path);
        if (found == directories.end()) {
            errno = ENOENT;
            return nullptr;
        }
        auto stream = std::make_unique<DirStream>();
        for (const auto& entry : found->second) {
            struct dirent record {};
            std::snprintf(record.d_name, sizeof(record.d_name), "%s", entry.first.c_str());
            record.d_type = entry.second;
            stream->entries.push_back(record);
        }
        DIR* handle = reinterpret_cast<DIR*>(stream.get());
        streams[handle] = std::move(stream);
        ++openStreams;
        return handle;
    }

    struct dirent* ReadDir(DIR* dir) override
    {
        DirStream& stream = *streams.at(dir);
        if (stream.next >= stream.entries.size()) {
            return nullptr;
        }
        return &stream.entries[stream.next++];
    }

    int CloseDir(DIR* dir) override
    {
        streams.erase(dir);
        --openStreams;
        return 0;
    }

    ssize_t ReadLink(const char* path, char* buffer, int size) override
    {
        auto found = links.find(path);
        if (found == links.end()) {
            errno = existing.count(path) != 0 ? EINVAL : ENOENT;
            return -1;
        }
        size_t length = std::min(found->second.size(), static_cast<size_t>(size));
        std::memcpy(buffer, found->second.data(), length);
        return static_cast<ssize_t>(length);
    }

private:
    struct DirStream {
        std::vector<struct dirent> entries;
        size_t next = 0;
    };

    IoctlDevice* DeviceOf(int fd)
    {
        auto found = fds.find(fd);
        if (found == fds.end()) {
            errno = EBADF;
            return nullptr;
        }
        return found->second;
    }

    int nextFd = 100;
    std::map<int, IoctlDevice*> fds;
    std::set<int> realFds;
    std::map<DIR*, std::unique_ptr<DirStream>> streams;
};

#endif
