// The inventory of the host's OSDs, merged from its sources (OsdSource.h),
// rebuilt when its change check sees anything they read change, and tried
// again while a rebuild stays incomplete.
#ifndef QUELVAR_OSD_OSDINFOMAP_H
#define QUELVAR_OSD_OSDINFOMAP_H

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "osd/OsdComFun.h"
#include "osd/OsdInfo.h"
#include "osd/OsdSource.h"
#include "sys/BlockStack.h"

constexpr const char* OSD_ROOT = "/var/lib/ceph/osd/";
// Where hosts deployed with containers keep one directory per cluster,
// named by the cluster's fsid, each holding "osd.<id>" directories.
constexpr const char* CEPHADM_BASE = "/var/lib/ceph/";
// Rook's data path on the host, by default: one directory per namespace.
constexpr const char* ROOK_BASE = "/var/lib/rook/";
// Starting capacity of each list; the lists grow past it.
constexpr size_t OSD_LIST_CAPACITY = 36;
// An incomplete rebuild is tried again on the next pass, then after twice as
// many passes each time, up to this many: one minute of five-second passes.
constexpr unsigned OSD_RETRY_MAX_PASSES = 12;
// The subjects the log names for what the inventory's every-pass listing and
// its rebuilds say.
constexpr const char* OSD_LISTING_SUBJECT = "OSD inventory";
constexpr const char* OSD_REBUILD_SUBJECT = "OSD inventory rebuild";

// True when the two lists differ in count, order, or any entry's bytes.
[[nodiscard]] bool ListChanged(const std::vector<std::string>& newList,
                               const std::vector<std::string>& cachedList);

// Device names as people count them: bcache2 before bcache10.
[[nodiscard]] bool ByDeviceName(const std::string& left, const std::string& right);

// True when `needle` is a whole component of `path` ("/" or the start before
// it, "/" or the end after it); with `partitions`, a component that is the
// needle followed by "p" and digits (bcache0p1 for bcache0) counts as well.
[[nodiscard]] bool PathHasComponent(const std::string& path, const std::string& needle, bool partitions);

class OsdInfoMap : public OsdComFun {
public:
    // No system call here: a test's facade overrides are not reached yet.
    // An empty `cephadmBase` leaves the per-cluster roots out, an empty
    // `rookBase` Rook's.
    explicit OsdInfoMap(const std::string& root, const std::string& cephadmBase = std::string(),
                        const std::string& rookBase = std::string());
    ~OsdInfoMap() override = default;
    OsdInfoMap(const OsdInfoMap&) = delete;
    OsdInfoMap& operator=(const OsdInfoMap&) = delete;

    // Brings the inventory up to date. 0, -1 or ERR_PRIVILEGE.
    [[nodiscard]] int RefreshOsdInfo();
    // Fills `info` from the OSD directory dir + name. 0 keep, -1 refused.
    [[nodiscard]] int ProbeOsdDir(const std::string& dir, const std::string& name, OsdInfo* info);

    [[nodiscard]] const std::vector<OsdInfo>& OsdInfoList() const { return osdInfoList; }
    // Why the last rebuild could not see everything (an OSD directory half
    // read, the devices under an OSD not traced, LVM not answering); empty
    // when it was complete. A device it shows carrying no OSD may then carry
    // one.
    [[nodiscard]] const std::string& Incomplete() const { return incompleteReason; }

    // For whatever takes part in a rebuild (a source, a matcher) and met
    // an answer that may change without anything the change check sees
    // changing: the rebuild is then tried again. `why` is the first reason
    // Incomplete() gives.
    void MarkIncomplete(const std::string& why);

protected:
    friend class OsdScan;
    friend class OsdDirSource;

    // With `signatures`, also appends the DirSignature of each directory
    // whose fsid is listed.
    [[nodiscard]] int ListOsdFsids(std::vector<std::string>& list, std::vector<std::string>* signatures = nullptr);
    // With `blocks`, also appends the name of every block device of /dev.
    [[nodiscard]] int ListBcacheDevs(std::vector<std::string>& list, std::vector<std::string>* blocks = nullptr);
    void SaveDevList(const std::vector<std::string>& list);
    [[nodiscard]] int UpdateOsdInfoList();

    // Ties the directory records of a rebuild to the bcache devices their
    // data lives on (their bcacheDevices, and `block` for bluestore). The
    // block stack answers first; where it cannot, the names in the block
    // link, then the volume groups of the rebuild's LVM report, and while
    // LVM does not answer, what the last rebuild found (osdInfoList, not
    // replaced yet).
    void TieDevices(std::vector<OsdInfo>& records, OsdScan& scan);
    // The bcache devices whose name (or a partition's) is a component of
    // the record's block link.
    void TieByDeviceName(OsdInfo& info);
    // The bcache devices that `lvm` lists, themselves or a partition of
    // theirs, as physical volumes of a volume group named as a component of
    // the record's block link.
    void TieByVolumeGroup(OsdInfo& info, const LvmReport& lvm);
    // Adds `name` (a bcache device or one of its partitions) as the whole
    // bcache device, when /dev lists that device.
    void AddBcacheDevice(OsdInfo& info, const std::string& name);

    std::vector<OsdInfo> osdInfoList;
    std::string osdPath;
    int32_t bcacheCheck = 1;
    std::vector<std::string> devList;
    // Every block device of /dev at the last rebuild, bcache ones included.
    std::vector<std::string> blockList;
    // The base of the per-cluster roots ("/var/lib/ceph/"), or empty.
    std::string cephadmPath;
    // The base of Rook's roots ("/var/lib/rook/"), or empty.
    std::string rookPath;
    // Where the kernel's block stack is read.
    std::string sysPath = SYSFS_ROOT;
    // Where device nodes are found, for the label reads ("/dev/").
    std::string devPath = "/dev/";

    // A directory that holds OSD directories: the rule its entries' names
    // must follow (none: any name) and the source they count for.
    struct OsdRoot {
        std::string path;  // ends in "/"
        bool (*accepts)(const std::string&);
        unsigned source;
    };
    // Called with the root and an entry name for each OSD directory found.
    using OsdDirVisitor = std::function<void(const OsdRoot& root, const std::string& name)>;

    // The opening shared by the listing and the rebuild: checks the roots,
    // raises privilege for `saved` and visits every OSD directory of every
    // root. 0 visited with privilege raised; -1 or ERR_PRIVILEGE with the
    // privilege back as it was (logged).
    [[nodiscard]] int WalkOsdDirs(uid_t saved, const OsdDirVisitor& visit);
    // A root for every directory under `base` whose name `dirRule` takes
    // (any but "." names without it), its entries' names ruled by
    // `entryRule`. 0 done; -1 when the base cannot be listed (logged).
    [[nodiscard]] int ListRootsUnder(const std::string& base, bool (*dirRule)(const std::string&),
                                     bool (*entryRule)(const std::string&), unsigned source,
                                     std::vector<OsdRoot>& roots);
    // How the block stack answered for one record.
    enum class Traced {
        Answered,  // the walk ended: bcacheDevices holds what it found, maybe nothing
        Unknown,   // no stack to walk (a file) or none that can be walked (a loop)
        NotYet,    // unreadable for now (a mapping not made yet): worth another rebuild
    };
    // Walks the block stack below the record's block device (bluestore) or
    // below the file system of its directory (other types) into
    // bcacheDevices.
    [[nodiscard]] Traced TraceStack(OsdInfo& info);

    // What the change check watches in an OSD directory besides its fsid:
    // its "type" file (by identity and times) and the texts of its three
    // links (empty where missing). Cheap, so a link that appears or a type
    // written triggers a rebuild at once.
    [[nodiscard]] std::string DirSignature(const std::string& dir, const std::string& name);
    // Whether a directory the probe refused is worth another rebuild: not
    // when it has no fsid yet (its arrival changes the fsid list); any other
    // refusal (the block link missing, dangling or not a link, a file
    // unreadable) may be a moment of its activation.
    [[nodiscard]] bool RefusalMayHeal(const std::string& dir, const std::string& name);

    // The change check's view of the host, compared whole from pass to
    // pass: each OSD directory's fsid and DirSignature, the bcache devices,
    // every block device of /dev where there is a bcache device (a new
    // logical volume, partition or mapping shows there) and the times of
    // the watched device nodes. Reading it costs the listings plus one stat
    // per watched device.
    struct ChangeSignature {
        std::vector<std::string> fsids;
        std::vector<std::string> dirs;
        std::vector<std::string> devs;
        std::vector<std::string> blocks;
        std::vector<std::string> times;
        bool operator!=(const ChangeSignature& other) const
        {
            return ListChanged(fsids, other.fsids) || ListChanged(dirs, other.dirs) ||
                   ListChanged(devs, other.devs) || ListChanged(blocks, other.blocks) ||
                   ListChanged(times, other.times);
        }
    };
    // Fills all but `times`. 0, -1 or ERR_PRIVILEGE (logged).
    [[nodiscard]] int ReadSignature(ChangeSignature& signature);
    // One entry per device node of `names` with its modification and
    // change times: a write through the node (LVM's metadata, a label)
    // moves both, reads do not.
    void NodeTimes(const std::vector<std::string>& names, std::vector<std::string>& times);
    // The bcache devices whose node a writer may change unseen by the
    // listings: every whole device that no OSD known from a directory lies
    // on and that holds no label of such an OSD. An OSD's own writes to its
    // devices never move their times past that point.
    [[nodiscard]] std::vector<std::string> WatchedDevices() const;
    // Merges the sources' records (given in their order of precedence) into
    // osdInfoList, one record per OSD; a source that disagrees with an OSD's
    // directory about its DB at two rebuilds in a row is said, once
    // (OsdMerge.cpp).
    void MergeRecords(std::vector<std::vector<OsdInfo>>& bySource);

    ChangeSignature changeSignature;  // at the last change, its times as of its rebuild
    std::vector<std::string> watched; // WatchedDevices of the last rebuild
    // The sources in their order of precedence: directories, Rook's
    // directories, LVM's tags, labels.
    std::vector<std::unique_ptr<OsdSource>> sources;
    // Block 0 of each device as the last rebuild read it, by name.
    std::map<std::string, Block0> lastBlocks;
    // "<fsid> <source bits>" of each disagreement with a directory the last
    // rebuild met: true once it has been said.
    std::map<std::string, bool> disagreements;

private:
    // UpdateOsdInfoList and its report, then the signature with the times
    // of the devices it now watches, then the retry schedule: cleared when
    // complete, the next pass when a change caused it, else twice the last
    // interval. `seen` is the signature that led to it; its times are taken
    // here, before anything is read.
    [[nodiscard]] int Rebuild(bool retry, ChangeSignature seen);
    // Counts one unchanged pass; true when an incomplete rebuild is due.
    [[nodiscard]] bool RetryDue();

    bool rebuildIncomplete = false;
    std::string incompleteReason;
    unsigned retryInterval = 0;  // passes; 0 while the last rebuild was complete
    unsigned retryWait = 0;      // unchanged passes left before the retry
};

#endif
