// One record per OSD, however many sources know it.
//
// The sources come in their order of precedence: the OSD directories
// (classic and per cluster, then Rook's), LVM's tags, labels. An OSD's
// directory, where it has one, says what it says; the other sources add
// their names to its record, its id where it has none, and its devices
// where its own could not be traced. Where one of them disagrees with it
// on whether the DB lies on another device, the rebuild is tried again, and
// a disagreement still there then is said, once.
#include <algorithm>
#include <map>

#include "osd/OsdInfoMap.h"
#include "sys/Log.h"

namespace {

constexpr unsigned FROM_DIRECTORY = OSD_SOURCE_DIRECTORY | OSD_SOURCE_ROOK;

bool SeparateDb(const OsdInfo& info)
{
    return info.engineType == ENGINE_BLUESTORE && info.blockLink != info.dbLink;
}

const char* DbText(const OsdInfo& info)
{
    return SeparateDb(info) ? "a DB on another device" : "no DB on another device";
}

} // namespace

void OsdInfoMap::MergeRecords(std::vector<std::vector<OsdInfo>>& bySource)
{
    std::vector<OsdInfo> merged;
    merged.reserve(OSD_LIST_CAPACITY);
    std::map<std::string, bool> seen;
    for (std::vector<OsdInfo>& records : bySource) {
        for (OsdInfo& record : records) {
            auto known = std::find_if(merged.begin(), merged.end(),
                                      [&](const OsdInfo& info) { return info.fsid == record.fsid; });
            // Directories stand as the probe found them, each on its own.
            if (known == merged.end() || (record.sources & FROM_DIRECTORY) != 0) {
                merged.push_back(std::move(record));
                continue;
            }
            if ((known->sources & FROM_DIRECTORY) != 0 && SeparateDb(*known) != SeparateDb(record)) {
                // A directory being filled has its block link before its
                // block.db link: the first time, it is only looked at again.
                const std::string key = record.fsid + " " + std::to_string(record.sources);
                const auto before = disagreements.find(key);
                if (before == disagreements.end()) {
                    MarkIncomplete("the sources of OSD " + record.fsid + " disagree on its DB");
                } else if (!before->second) {
                    WriteLog(LOG_WARNING, "OSD %s: %s: %s; directory %s: %s; the directory counts\n",
                             record.fsid.c_str(), OsdSourceNames(record.sources).c_str(), DbText(record),
                             known->dirName.c_str(), DbText(*known));
                }
                seen[key] = before != disagreements.end();
            }
            known->sources |= record.sources;
            if (known->osdId.empty()) {
                known->osdId = record.osdId;
            }
            if (known->bcacheDevices.empty() && known->engineType == ENGINE_BLUESTORE) {
                known->bcacheDevices = record.bcacheDevices;
                known->block = record.block;
            }
        }
    }
    disagreements = std::move(seen);
    osdInfoList = std::move(merged);
}
