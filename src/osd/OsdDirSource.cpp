// The OSD data directories as a source: every directory the walk of the
// roots met for this source's kind, probed as the directory probe reads it
// and tied to the bcache devices its data lives on.
#include "osd/OsdInfoMap.h"
#include "osd/OsdSource.h"

void OsdDirSource::Collect(OsdScan& scan, std::vector<OsdInfo>& records)
{
    OsdInfoMap& map = scan.Inventory();
    for (const OsdDirEntry& entry : scan.Dirs()) {
        if (entry.source != source) {
            continue;
        }
        OsdInfo info;
        if (map.ProbeOsdDir(entry.root, entry.name, &info) == 0) {
            info.dirName = entry.root + entry.name;
            info.sources = source;
            records.push_back(info);
        } else if (map.RefusalMayHeal(entry.root, entry.name)) {
            map.MarkIncomplete("the OSD directory " + entry.root + entry.name + " could not be read whole");
        }
    }
    map.TieDevices(records, scan);
}
