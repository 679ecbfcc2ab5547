// One Ceph OSD as the inventory knows it.
#ifndef QUELVAR_OSD_OSDINFO_H
#define QUELVAR_OSD_OSDINFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "osd/OsdComFun.h"

// Object-store type codes, from the OSD directory's "type" file.
constexpr int32_t ENGINE_MEMSTORE = 0;
constexpr int32_t ENGINE_KVSTORE = 1;
constexpr int32_t ENGINE_FILESTORE = 2;
constexpr int32_t ENGINE_BLUESTORE = 3;
constexpr int32_t ENGINE_UNKNOWN = 65535;

// Where the inventory learnt of an OSD: a record that several sources know
// carries each one's bit.
constexpr unsigned OSD_SOURCE_DIRECTORY = 1u;  // its data directory under /var/lib/ceph
constexpr unsigned OSD_SOURCE_ROOK = 2u;       // its directory on a Rook host, /var/lib/rook/<namespace>/...
constexpr unsigned OSD_SOURCE_LVM_TAGS = 4u;   // ceph-volume's tags on its logical volume
constexpr unsigned OSD_SOURCE_LABEL = 8u;      // the bluestore label in block 0 of its devices

class OsdInfo : public OsdComFun {
public:
    OsdInfo() = default;
    OsdInfo(const OsdInfo&) = default;
    OsdInfo& operator=(const OsdInfo&) = default;
    ~OsdInfo() override = default;

    // Fills `fsid` and, for bluestore, the links. 0 done, -1 refused.
    [[nodiscard]] int ReadFsidAndLinks(const std::string& dir, const std::string& name);
    // Fills the three link fields from the link texts as stored. 0 done, -1
    // refused.
    [[nodiscard]] int ReadBluestoreLinks(const std::string& dir, const std::string& name);

    // True when `device` (a bcache device's name) is one of bcacheDevices.
    [[nodiscard]] bool IsCarriedBy(const std::string& device) const;

    std::string block;       // the first of bcacheDevices for bluestore, e.g. bcache0; else empty
    std::string fsid;        // 36 characters in a kept record
    int32_t engineType = ENGINE_UNKNOWN;
    std::string blockLink;   // target texts of the bluestore links, unresolved
    std::string dbLink;      // "block.db", or blockLink when there is none: the DB inside the block device
    std::string walLink;
    std::string dirName;     // the OSD directory: /var/lib/ceph/osd/ceph-0, /var/lib/ceph/<fsid>/osd.0
    // Every bcache device the OSD's data lives on, each once, by name
    // (bcache2 before bcache10): below its block device for bluestore, below
    // the file system of its directory for the other types. Whole devices
    // only: an OSD on bcache0p1 is carried by bcache0.
    std::vector<std::string> bcacheDevices;
    unsigned sources = 0;    // OSD_SOURCE_ bits
    std::string osdId;       // the OSD's id where a source says it (tags, label); else from dirName
};

// The sources of a record by name, in the order of their precedence, joined
// with "+": "directory", "directory+label", "LVM tags".
[[nodiscard]] std::string OsdSourceNames(unsigned sources);
// The bits of such a text again.
[[nodiscard]] unsigned OsdSourceBits(const std::string& names);

#endif
