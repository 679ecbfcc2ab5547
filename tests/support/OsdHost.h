// The inventory over a real OSD root in a temporary directory, with "/dev"
// faked so that no test ever lists the host's devices, and with the opens of
// the OSD root counted: the refresh opens the root once to list the fsids
// and once more for each rebuild. Block links can be given a device number,
// as a node in "/dev" would have, and the block stack read from a tree
// under /tmp in place of "/sys".
#ifndef QUELVAR_TESTS_SUPPORT_OSDHOST_H
#define QUELVAR_TESTS_SUPPORT_OSDHOST_H

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "osd/OsdInfoMap.h"

class OsdHostMap : public OsdInfoMap {
public:
    using OsdInfoMap::OsdInfoMap;
    using OsdInfoMap::devList;
    using OsdInfoMap::devPath;
    using OsdInfoMap::sysPath;
    using OsdInfoMap::TieByDeviceName;
    using OsdInfoMap::TieByVolumeGroup;

    // The entries of the fake "/dev", in directory order, with their d_type.
    std::vector<std::pair<std::string, unsigned char>> devEntries;
    int devError = 0;        // when set, opendir("/dev") fails with it
    int devAccessError = 0;  // when set, access("/dev") fails with it
    int rootError = 0;   // when set, opendir of the OSD root fails with it
    int baseError = 0;   // when set, opendir of the clusters' base fails with it
    int rootOpens = 0;

    // Paths whose stat answers a block device of that number; 0 answers
    // ENOENT, as a node whose mapping is not made yet.
    std::map<std::string, dev_t> blockNodes;
    // Directories whose stat answers a file system on the device of that
    // number, as a mounted OSD directory.
    std::map<std::string, dev_t> dirDevices;

    std::vector<OsdInfo>& Records() { return osdInfoList; }

    int Stat(const char* path, struct stat* status) override
    {
        auto node = blockNodes.find(path);
        auto dir = dirDevices.find(path);
        if (node == blockNodes.end() && dir == dirDevices.end()) {
            return OsdInfoMap::Stat(path, status);
        }
        *status = {};
        if (dir != dirDevices.end()) {
            status->st_mode = S_IFDIR | 0755;
            status->st_dev = dir->second;
            return 0;
        }
        errno = ENOENT;
        status->st_mode = S_IFBLK | 0660;
        status->st_rdev = node->second;
        return node->second != 0 ? 0 : -1;
    }

    int Access(const char* path, int mode) override
    {
        if (!IsDev(path)) {
            return OsdInfoMap::Access(path, mode);
        }
        errno = devAccessError;
        return devAccessError != 0 ? -1 : 0;
    }

    DIR* OpenDir(const char* path) override
    {
        if (IsDev(path)) {
            if (devError != 0) {
                errno = devError;
                return nullptr;
            }
            next = 0;
            return FakeDev();
        }
        const int error = osdPath == path ? rootError : cephadmPath == path ? baseError : 0;
        rootOpens += osdPath == path ? 1 : 0;
        if (error != 0) {
            errno = error;
            return nullptr;
        }
        return OsdInfoMap::OpenDir(path);
    }

    struct dirent* ReadDir(DIR* dir) override
    {
        if (dir != FakeDev()) {
            return OsdInfoMap::ReadDir(dir);
        }
        if (next >= devEntries.size()) {
            return nullptr;
        }
        entry = {};
        std::snprintf(entry.d_name, sizeof(entry.d_name), "%s", devEntries[next].first.c_str());
        entry.d_type = devEntries[next++].second;
        return &entry;
    }

    int CloseDir(DIR* dir) override
    {
        return dir == FakeDev() ? 0 : OsdInfoMap::CloseDir(dir);
    }

private:
    static bool IsDev(const char* path) { return std::strcmp(path, "/dev") == 0; }
    DIR* FakeDev() { return reinterpret_cast<DIR*>(&entry); }

    struct dirent entry {};
    size_t next = 0;
};

#endif
