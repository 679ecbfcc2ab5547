// Every directory that holds OSD data directories: the classic root and, on
// hosts deployed with containers, one root per cluster under the base.
#include "osd/OsdRoots.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "osd/OsdInfoMap.h"
#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/Privilege.h"
#include "sys/ScopedHandles.h"
#include "sys/Status.h"

namespace {

constexpr size_t UUID_LENGTH = 36;

} // namespace

bool IsUuidName(const std::string& name)
{
    if (name.size() != UUID_LENGTH) {
        return false;
    }
    for (size_t at = 0; at < name.size(); ++at) {
        bool dash = at == 8 || at == 13 || at == 18 || at == 23;
        if (dash ? name[at] != '-' : std::isxdigit(static_cast<unsigned char>(name[at])) == 0) {
            return false;
        }
    }
    return true;
}

bool IsCephadmOsdName(const std::string& name)
{
    constexpr size_t prefix = 4;  // "osd."
    if (name.size() <= prefix || name.compare(0, prefix, "osd.") != 0) {
        return false;
    }
    for (size_t at = prefix; at < name.size(); ++at) {
        if (name[at] < '0' || name[at] > '9') {
            return false;
        }
    }
    return true;
}

int OsdInfoMap::ListCephadmRoots(std::vector<std::string>& roots)
{
    ScopedDir base(*this, OpenDir(cephadmPath.c_str()));
    if (base.get() == nullptr) {
        int error = errno;
        LogCondition(LOG_ERROR, "opendir %s error:%d %s\n", cephadmPath.c_str(), error, strerror(error));
        return -1;
    }
    for (struct dirent* entry = ReadDir(base.get()); entry != nullptr; entry = ReadDir(base.get())) {
        if (entry->d_type == DT_DIR && IsUuidName(entry->d_name)) {
            roots.push_back(cephadmPath + entry->d_name + "/");
        }
    }
    return 0;
}

int OsdInfoMap::WalkOsdDirs(uid_t saved, const OsdDirVisitor& visit)
{
    bool classic = Access(osdPath.c_str(), F_OK) == 0;
    int classicError = errno;
    auto reportMissing = [&] {
        LogCondition(LOG_ERROR, "access %s error:%d %s\n", osdPath.c_str(), classicError,
                     strerror(classicError));
    };
    bool cephadm = !cephadmPath.empty() && Access(cephadmPath.c_str(), F_OK) == 0;
    if (!classic && !cephadm) {
        reportMissing();
        return -1;
    }
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    // The classic root first, where any name is an OSD directory; then the
    // clusters' roots, where only "osd.<id>" is.
    std::vector<std::string> roots;
    if (classic) {
        roots.push_back(osdPath);
    }
    if (cephadm && ListCephadmRoots(roots) != 0) {
        return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
    }
    // A host of clusters deployed with containers has no classic root; only
    // a host with no root at all is worth an error.
    if (roots.empty()) {
        reportMissing();
        return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
    }
    for (size_t index = 0; index < roots.size(); ++index) {
        const std::string& root = roots[index];
        ScopedDir dir(*this, OpenDir(root.c_str()));
        if (dir.get() == nullptr) {
            int error = errno;
            LogCondition(LOG_ERROR, "opendir %s error:%d %s\n", root.c_str(), error, strerror(error));
            return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
        }
        bool anyName = classic && index == 0;
        for (struct dirent* entry = ReadDir(dir.get()); entry != nullptr; entry = ReadDir(dir.get())) {
            // The entry's own type, never a stat: a link to a directory is
            // not an OSD directory, and an unset type is skipped as well.
            if (entry->d_type == DT_DIR && (anyName || IsCephadmOsdName(entry->d_name))) {
                visit(root, entry->d_name);
            }
        }
    }
    return 0;
}
