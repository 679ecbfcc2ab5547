// Rook's OSD directories on the host. Rook (for OSDs on devices, not on
// volume claims) keeps each OSD's directory under its data path on the host,
// one directory per namespace of the cluster: <base>/<namespace>/<cluster
// fsid>_<osd uuid>/, mounted into the OSD's pod as its data directory. It
// holds what a directory under /var/lib/ceph/osd holds ("type", "fsid",
// "whoami", the "block" and "block.db" links) and stays across boots, so it
// is read the same way, as another root.
#include "osd/OsdRoots.h"

namespace {

constexpr size_t UUID_TEXT = 36;

} // namespace

bool IsRookOsdName(const std::string& name)
{
    return name.size() == 2 * UUID_TEXT + 1 && name[UUID_TEXT] == '_' && IsUuidName(name.substr(0, UUID_TEXT)) &&
           IsUuidName(name.substr(UUID_TEXT + 1));
}
