// Where the inventory learns of OSDs. Each source reads one kind of record
// Ceph leaves on a host and yields OSD records; the inventory merges them
// (OsdMerge.cpp) by the OSD's fsid, the directory first:
//   OsdDirSource   the OSD data directories: /var/lib/ceph/osd/<name>,
//                  /var/lib/ceph/<cluster fsid>/osd.<id> (OsdRoots.cpp) and
//                  Rook's /var/lib/rook/<namespace>/<fsid>_<uuid>
//                  (RookRoots.cpp), read alike
//   LvmTagSource   ceph-volume's tags on a block volume, in LVM's report
//   LabelSource    bluestore labels in block 0 of the devices
// Sources run only when the inventory is rebuilt, inside its privileged
// window; what they read in a pass to notice a change is the inventory's
// change check (OsdInfoMap::ReadSignature).
#ifndef QUELVAR_OSD_OSDSOURCE_H
#define QUELVAR_OSD_OSDSOURCE_H

#include <map>
#include <string>
#include <vector>

#include "osd/BluestoreLabel.h"
#include "osd/OsdComFun.h"
#include "osd/OsdInfo.h"

class OsdInfoMap;

// One OSD data directory met by the walk of the roots.
struct OsdDirEntry {
    std::string root;  // ends in "/"
    std::string name;
    unsigned source;   // OSD_SOURCE_DIRECTORY or OSD_SOURCE_ROOK
};

// What a rebuild read of block 0 of one device.
struct Block0 {
    enum State {
        Read,       // the block is in `label`, `lvm`
        Failed,     // the device answered with an error, or holds less than a block: no label
        Unanswered, // not in the page cache within BLOCK0_WAIT_MS: unknown
    } state = Failed;
    bool hasLabel = false;
    BluestoreLabel label;
    bool lvm = false;  // LVM's label: a physical volume
};

// How long a rebuild waits for block 0 of its devices to reach the page
// cache, all devices together, and how often it looks. A device that hangs
// holds the rebuild this long once, never the daemon for its I/O.
constexpr unsigned BLOCK0_WAIT_MS = 1000;
constexpr unsigned BLOCK0_LOOK_MS = 10;

// What the sources of one rebuild share: the inventory's facade and device
// lists, and what is read once for all of them (the LVM report, block 0 of
// the devices).
class OsdScan {
public:
    OsdScan(OsdInfoMap& inventory, std::vector<OsdDirEntry> entries);

    OsdInfoMap& Inventory() { return map; }
    const std::vector<OsdDirEntry>& Dirs() const { return dirs; }
    // The LVM report, run at most once per rebuild. 0 with the report;
    // LVM_FAILED when pvs did not answer.
    [[nodiscard]] int Lvm(const LvmReport*& report);
    // Block 0 of every bcache device and partition, and of every other
    // block device of /dev that no other device holds, by name, read at most
    // once per rebuild.
    const std::map<std::string, Block0>& Blocks();
    // The bcache device (whole) of `name`, when `name` is one of /dev's
    // bcache devices or partitions; else empty.
    [[nodiscard]] std::string BcacheOf(const std::string& name) const;
    // The whole bcache devices below the block device /dev/<name>, by its
    // block stack.
    [[nodiscard]] std::vector<std::string> BcacheBelow(const std::string& name);

private:
    OsdInfoMap& map;
    std::vector<OsdDirEntry> dirs;
    bool lvmRead = false;
    int lvmState = 0;
    LvmReport lvm;
    bool blocksRead = false;
    std::map<std::string, Block0> blocks;
};

class OsdSource {
public:
    virtual ~OsdSource() = default;
    // Appends the OSD records this source finds, each with the source's bit
    // in `sources` and the bcache devices it lies on. An answer that may
    // change without anything the change check sees is reported through
    // OsdInfoMap::MarkIncomplete, so that the rebuild is tried again.
    virtual void Collect(OsdScan& scan, std::vector<OsdInfo>& records) = 0;
};

// The OSD directories of one kind (OSD_SOURCE_DIRECTORY or
// OSD_SOURCE_ROOK), probed as the directory probe reads them.
class OsdDirSource : public OsdSource {
public:
    explicit OsdDirSource(unsigned kind) : source(kind) {}
    void Collect(OsdScan& scan, std::vector<OsdInfo>& records) override;

private:
    unsigned source;
};

// ceph-volume's tags. A volume tagged "ceph.type=block" is an OSD's block:
// "ceph.osd_fsid" its fsid, "ceph.osd_id" its id, "ceph.block_device" its
// path, and a non-empty "ceph.db_uuid" (the DB's volume or partition) a DB
// on another device, whose path is "ceph.db_device". Its bcache devices are
// its physical volumes'. LVM is asked only when a bcache device holds LVM's
// label (or could not be read), in the rebuild's one report.
class LvmTagSource : public OsdSource {
public:
    void Collect(OsdScan& scan, std::vector<OsdInfo>& records) override;

private:
    // What the last report gave, kept while LVM does not answer.
    std::vector<OsdInfo> lastRecords;
};

// bluestore labels. A "main" label names its device an OSD's block; the
// OSD has a DB on another device when another device's label says "bluefs
// db" with the same uuid.
class LabelSource : public OsdSource {
public:
    void Collect(OsdScan& scan, std::vector<OsdInfo>& records) override;
};

// Reads block 0 of each of `names` (device nodes under `devPath`) from the
// page cache only, asking for readahead where it is not there yet, until
// every one is read or BLOCK0_WAIT_MS have passed.
void ReadBlock0s(SystemApi& api, const std::string& devPath, const std::vector<std::string>& names,
                 std::map<std::string, Block0>& blocks);

// The tags of one report row, by name, less any whose value is a secret
// ("ceph.cephx_lockbox_secret"). Tags hold no ",", and a name no "=".
[[nodiscard]] std::map<std::string, std::string> ParseLvTags(const std::string& tags);

#endif
