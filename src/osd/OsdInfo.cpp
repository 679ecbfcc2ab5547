#include "osd/OsdInfo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

#include "osd/OsdFile.h"
#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/SafeString.h"

int OsdInfo::ReadFsidAndLinks(const std::string& dir, const std::string& name)
{
    if (ReadFsid(dir, name, &fsid) != 0) {
        return -1;
    }
    if (engineType == ENGINE_BLUESTORE) {
        return ReadBluestoreLinks(dir, name);
    }
    return 0;
}

int OsdInfo::ReadBluestoreLinks(const std::string& dir, const std::string& name)
{
    if (name.empty() || dir.empty() || name[0] == '.') {
        return -1;
    }
    // Ceph creates "block.db" and "block.wal" only for a DB or WAL on a
    // device of its own, so their absence is the common layout: the DB then
    // lives inside the block device. "block" must be there.
    struct LinkField {
        const char* suffix;
        std::string* field;
        bool optional;
    };
    const LinkField links[] = {
        {"/block", &blockLink, false},
        {"/block.db", &dbLink, true},
        {"/block.wal", &walLink, true},
    };
    for (const LinkField& link : links) {
        char path[PATH_BUFFER_SIZE];
        if (BuildOsdPath(path, dir, name, link.suffix) != 0) {
            return -1;
        }
        char target[PATH_BUFFER_SIZE];
        if (memset_s(target, sizeof(target), 0, sizeof(target)) != 0) {
            return -1;
        }
        if (Access(path, F_OK) != 0) {
            if (!link.optional) {
                return -1;
            }
            // access follows the link, so it fails alike for a link that is
            // not there and for one whose target is gone; readlink does not.
            ssize_t length = ReadLink(path, target, sizeof(target));
            if (length < 0 && errno == ENOENT) {
                *link.field = link.field == &dbLink ? blockLink : std::string();
                continue;
            }
            return -1;
        }
        ssize_t length = ReadLink(path, target, sizeof(target));
        if (length < 0) {
            int error = errno;
            LogCondition(LOG_ERROR, "readlink %s error:%d %s\n", path, error, strerror(error));
            return -1;
        }
        // readlink does not terminate the text; take exactly what it stored.
        link.field->assign(target, static_cast<size_t>(length));
    }
    return 0;
}

bool OsdInfo::IsCarriedBy(const std::string& device) const
{
    return std::find(bcacheDevices.begin(), bcacheDevices.end(), device) != bcacheDevices.end();
}

namespace {

const std::pair<unsigned, const char*> SOURCE_NAMES[] = {
    {OSD_SOURCE_DIRECTORY, "directory"},
    {OSD_SOURCE_ROOK, "Rook directory"},
    {OSD_SOURCE_LVM_TAGS, "LVM tags"},
    {OSD_SOURCE_LABEL, "label"},
};

} // namespace

std::string OsdSourceNames(unsigned sources)
{
    // Made once: the published view names every OSD's sources every pass.
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> all(1u << std::size(SOURCE_NAMES));
        for (unsigned bits = 0; bits < all.size(); ++bits) {
            for (const auto& name : SOURCE_NAMES) {
                if ((bits & name.first) != 0) {
                    all[bits] += (all[bits].empty() ? "" : "+") + std::string(name.second);
                }
            }
        }
        return all;
    }();
    return sources < texts.size() ? texts[sources] : std::string();
}

unsigned OsdSourceBits(const std::string& names)
{
    unsigned sources = 0;
    for (const auto& name : SOURCE_NAMES) {
        const std::string text = std::string("+") + name.second + "+";
        sources |= ("+" + names + "+").find(text) != std::string::npos ? name.first : 0;
    }
    return sources;
}
