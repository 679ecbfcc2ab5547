// Every directory that holds OSD data directories: the classic root, on
// hosts deployed with containers one root per cluster under the base, and
// on Rook hosts one per namespace (RookRoots.cpp).
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

bool IsOsdId(const std::string& text)
{
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsCephadmOsdName(const std::string& name)
{
    return name.compare(0, 4, "osd.") == 0 && IsOsdId(name.substr(4));
}

int OsdInfoMap::ListRootsUnder(const std::string& base, bool (*dirRule)(const std::string&),
                               bool (*entryRule)(const std::string&), unsigned source, std::vector<OsdRoot>& roots)
{
    ScopedDir list(*this, OpenDir(base.c_str()));
    if (list.get() == nullptr) {
        int error = errno;
        LogCondition(LOG_ERROR, "opendir %s error:%d %s\n", base.c_str(), error, strerror(error));
        return -1;
    }
    for (struct dirent* entry = ReadDir(list.get()); entry != nullptr; entry = ReadDir(list.get())) {
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.' && (dirRule == nullptr || dirRule(entry->d_name))) {
            roots.push_back({base + entry->d_name + "/", entryRule, source});
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
    bool rook = !rookPath.empty() && Access(rookPath.c_str(), F_OK) == 0;
    if (!classic && !cephadm && !rook) {
        reportMissing();
        return -1;
    }
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    // The classic root first, where any name is an OSD directory; then the
    // clusters' roots, where only "osd.<id>" is; then Rook's.
    std::vector<OsdRoot> roots;
    if (classic) {
        roots.push_back({osdPath, nullptr, OSD_SOURCE_DIRECTORY});
    }
    // A cluster's directory is named by its fsid; Rook's by a namespace.
    if ((cephadm && ListRootsUnder(cephadmPath, IsUuidName, IsCephadmOsdName, OSD_SOURCE_DIRECTORY, roots) != 0) ||
        (rook && ListRootsUnder(rookPath, nullptr, IsRookOsdName, OSD_SOURCE_ROOK, roots) != 0)) {
        return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
    }
    // A host of clusters deployed with containers has no classic root; only
    // a host with no root at all is worth an error.
    if (roots.empty()) {
        reportMissing();
        return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
    }
    for (const OsdRoot& root : roots) {
        ScopedDir dir(*this, OpenDir(root.path.c_str()));
        if (dir.get() == nullptr) {
            int error = errno;
            LogCondition(LOG_ERROR, "opendir %s error:%d %s\n", root.path.c_str(), error, strerror(error));
            return RestorePrivilege(saved) == 0 ? -1 : ERR_PRIVILEGE;
        }
        for (struct dirent* entry = ReadDir(dir.get()); entry != nullptr; entry = ReadDir(dir.get())) {
            // The entry's own type, never a stat: a link to a directory is
            // not an OSD directory, and an unset type is skipped as well.
            if (entry->d_type == DT_DIR && (root.accepts == nullptr || root.accepts(entry->d_name))) {
                visit(root, entry->d_name);
            }
        }
    }
    return 0;
}
