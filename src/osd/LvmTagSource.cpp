// ceph-volume's tags on logical volumes, from the rebuild's LVM report.
//
// ceph-volume tags a volume at "lvm prepare", before the OSD is activated,
// and LVM reports the tags whether the volume is active or not, so an OSD
// on LVM is known, and its disk guarded, before its directory is filled.
#include <algorithm>
#include <map>

#include "osd/OsdInfoMap.h"
#include "osd/OsdRoots.h"
#include "osd/OsdSource.h"

namespace {

// The one tag that holds a secret: the key of an encrypted OSD's lockbox.
constexpr const char* SECRET_TAG = "ceph.cephx_lockbox_secret";

std::string Get(const std::map<std::string, std::string>& tags, const char* name)
{
    const auto found = tags.find(name);
    return found == tags.end() ? std::string() : found->second;
}

// The record of a block volume's OSD from its tags.
OsdInfo FromTags(const std::map<std::string, std::string>& tags, const PhysicalVolume& row)
{
    OsdInfo info;
    info.fsid = Get(tags, "ceph.osd_fsid");
    info.engineType = ENGINE_BLUESTORE;
    info.sources = OSD_SOURCE_LVM_TAGS;
    const std::string id = Get(tags, "ceph.osd_id");
    info.osdId = IsOsdId(id) ? id : std::string();
    info.blockLink = Get(tags, "ceph.block_device");
    if (info.blockLink.empty()) {
        info.blockLink = row.lvUuid;
    }
    // As the directory will have it once the OSD is activated: "block.db"
    // names the DB's device when there is one, else the DB lives in the
    // block device.
    const std::string dbUuid = Get(tags, "ceph.db_uuid");
    const std::string dbDevice = Get(tags, "ceph.db_device");
    const bool separate = !dbUuid.empty() && dbUuid != row.lvUuid && dbDevice != info.blockLink;
    info.dbLink = !separate ? info.blockLink : !dbDevice.empty() ? dbDevice : dbUuid;
    info.walLink = Get(tags, "ceph.wal_device");
    return info;
}

} // namespace

std::map<std::string, std::string> ParseLvTags(const std::string& tags)
{
    std::map<std::string, std::string> parsed;
    size_t start = 0;
    while (start <= tags.size()) {
        size_t end = tags.find(',', start);
        if (end == std::string::npos) {
            end = tags.size();
        }
        const std::string tag = tags.substr(start, end - start);
        const size_t equals = tag.find('=');
        if (equals != std::string::npos && tag.compare(0, equals, SECRET_TAG) != 0) {
            parsed.emplace(tag.substr(0, equals), tag.substr(equals + 1));
        }
        start = end + 1;
    }
    return parsed;
}

void LvmTagSource::Collect(OsdScan& scan, std::vector<OsdInfo>& records)
{
    // Only LVM on a bcache device can carry an OSD to guard; a device whose
    // block 0 did not come might be one.
    bool lvmOnBcache = false;
    for (const auto& block : scan.Blocks()) {
        lvmOnBcache = lvmOnBcache || (!scan.BcacheOf(block.first).empty() &&
                                      (block.second.lvm || block.second.state == Block0::Unanswered));
    }
    if (!lvmOnBcache) {
        lastRecords.clear();
        return;
    }
    const LvmReport* report = nullptr;
    if (scan.Lvm(report) != 0) {
        // What the last report said holds while LVM does not answer: no
        // volume is made or tagged without it either.
        scan.Inventory().MarkIncomplete("LVM did not answer");
        records = lastRecords;
        return;
    }
    // One row per volume and physical volume it lies on; the tags are the
    // volume's, the same on each of its rows.
    std::map<std::string, size_t> byVolume;
    std::vector<OsdInfo> found;
    for (const PhysicalVolume& row : *report) {
        auto known = byVolume.find(row.lvUuid);
        if (known == byVolume.end()) {
            const std::map<std::string, std::string> tags = ParseLvTags(row.lvTags);
            if (row.lvUuid.empty() || Get(tags, "ceph.type") != "block" || !IsUuidName(Get(tags, "ceph.osd_fsid"))) {
                continue;
            }
            known = byVolume.emplace(row.lvUuid, found.size()).first;
            found.push_back(FromTags(tags, row));
        }
        OsdInfo& info = found[known->second];
        const std::string bcache = scan.BcacheOf(row.dev);
        if (!bcache.empty() && !info.IsCarriedBy(bcache)) {
            info.bcacheDevices.push_back(bcache);
        }
    }
    lastRecords.clear();
    for (OsdInfo& info : found) {
        if (!info.bcacheDevices.empty()) {
            std::sort(info.bcacheDevices.begin(), info.bcacheDevices.end(), ByDeviceName);
            info.block = info.bcacheDevices.front();
            lastRecords.push_back(info);
        }
    }
    records = lastRecords;
}
