#include "report/HostReport.h"

#include <algorithm>

#include "bcache/BcacheDev.h"
#include "disk/KernelView.h"
#include "osd/OsdInfoMap.h"
#include "report/DiskState.h"
#include "sys/BlockStack.h"
#include "sys/ScopedHandles.h"
#include "sys/Status.h"
#include "writecache/WriteCacheStep.h"

namespace
{

void Set(DeviceRow& row, Verdict verdict, std::string reason)
{
    row.verdict = verdict;
    row.reason = std::move(reason);
}

// The names the pass's walk of /dev accepts, in the order the report shows
// them, less the partitions of bcache devices: their disk is their whole
// device's, which has a row. 0 listed, -1 /dev could not be read.
int ListBcacheDevices(SystemApi& api, std::vector<std::string>& names)
{
    ScopedDir dev(api, api.OpenDir(DEV_DIR));
    if (dev.get() == nullptr) {
        return -1;
    }
    for (struct dirent* entry = api.ReadDir(dev.get()); entry != nullptr; entry = api.ReadDir(dev.get())) {
        if (IsBcacheDevEntry(*entry) && !IsBcachePartitionName(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    std::sort(names.begin(), names.end(), ByDeviceName);
    return 0;
}

// One row. 0 read, ERR_PRIVILEGE when reading must stop.
int ReadRow(const std::string& name, const std::vector<OsdInfo>& records, DeviceRow& row)
{
    row.device = name;
    BcacheDev device(name);
    DeviceFacts facts;
    if (ReadDeviceFacts(device, records, true, facts) == 0) {
        row.disk = facts.disk.backing;
        row.kernelMode = facts.kernelMode;
        row.transport = ReadTransport(device, facts.disk);
        int state = DISK_CACHE_UNKNOWN;
        const int read = ReadDiskWithPrivilege(device, facts.disk, &state);
        if (read == ERR_PRIVILEGE) {
            return ERR_PRIVILEGE;
        }
        row.diskCache = read == 0 ? state : DISK_CACHE_UNKNOWN;
    }
    row.guarded = facts.guard != nullptr;
    const OsdInfo* osd = row.guarded ? facts.guard : FindCarriedRecord(records, name);
    row.hasOsd = osd != nullptr;
    if (row.hasOsd) {
        row.osd = *osd;
    }
    return 0;
}

} // namespace

const char* VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Protected:
        return "protected";
    case Verdict::NotGuarded:
        return "not guarded";
    case Verdict::Unprotected:
        return "UNPROTECTED";
    case Verdict::Unknown:
        break;
    }
    return "unknown";
}

const char* EngineName(int32_t engineType)
{
    switch (engineType) {
    case ENGINE_MEMSTORE:
        return "memstore";
    case ENGINE_KVSTORE:
        return "kvstore";
    case ENGINE_FILESTORE:
        return "filestore";
    case ENGINE_BLUESTORE:
        return "bluestore";
    default:
        return "unknown";
    }
}

std::string OsdId(const OsdInfo& osd)
{
    // As its tags or label say; ceph-<id> under the classic root, osd.<id>
    // under a cluster's.
    if (!osd.osdId.empty()) {
        return osd.osdId;
    }
    const size_t mark = osd.dirName.find_last_of("-./");
    return mark == std::string::npos ? osd.dirName : osd.dirName.substr(mark + 1);
}

void Judge(DeviceRow& row, bool inventoryRead)
{
    if (row.disk.empty()) {
        Set(row, Verdict::Unknown, "its backing disk could not be found");
        return;
    }
    if (!row.guarded) {
        if (!inventoryRead) {
            Set(row, Verdict::Unknown, "the OSD inventory could not be read");
        } else if (!row.hasOsd) {
            Set(row, Verdict::NotGuarded, "it carries no OSD");
        } else if (row.osd.engineType != ENGINE_BLUESTORE) {
            Set(row, Verdict::NotGuarded,
                std::string("its OSD is ") + EngineName(row.osd.engineType) + ", not bluestore");
        } else {
            Set(row, Verdict::NotGuarded, "its OSD keeps its DB on the same device");
        }
        return;
    }
    if (row.diskCache == DISK_CACHE_ON) {
        Set(row, Verdict::Unprotected, "the disk reports its write cache on");
    } else if (row.diskCache == DISK_CACHE_OFF) {
        Set(row, Verdict::Protected,
            row.kernelMode == WRITE_CACHE_BACK
                ? "the disk reports its write cache off; the kernel still shows write back"
                : "the disk reports its write cache off");
    } else if (row.kernelMode == WRITE_CACHE_BACK) {
        Set(row, Verdict::Unprotected, "the kernel shows write back");
    } else if (row.kernelMode == WRITE_CACHE_THROUGH) {
        Set(row, Verdict::Protected, "the kernel shows write through; the disk was not asked");
    } else {
        Set(row, Verdict::Unknown, "neither the kernel nor the disk told its cache state");
    }
}

int ExitStatusOf(const HostReport& report)
{
    bool unknown = !report.problem.empty();
    for (const DeviceRow& row : report.rows) {
        if (row.verdict == Verdict::Unprotected) {
            return STATUS_UNPROTECTED;
        }
        unknown = unknown || row.verdict == Verdict::Unknown;
    }
    return unknown ? STATUS_UNKNOWN : STATUS_PROTECTED;
}

void ReadHostReport(HostReport& report)
{
    // The clusters' and Rook's roots too, as the daemon's inventory reads them.
    OsdInfoMap inventory(OSD_ROOT, CEPHADM_BASE, ROOK_BASE);
    const int refreshed = inventory.RefreshOsdInfo();
    if (refreshed == ERR_PRIVILEGE) {
        report.problem = "could not drop privilege again after reading the OSD directories";
        return;
    }
    if (refreshed != 0) {
        report.problem = std::string("could not read the OSD directories under ") + OSD_ROOT;
    } else if (!inventory.Incomplete().empty()) {
        report.problem = "the OSD inventory is incomplete: " + inventory.Incomplete();
    }
    std::vector<std::string> names;
    if (ListBcacheDevices(inventory, names) != 0) {
        report.problem = "could not read /dev";
    }
    for (const std::string& name : names) {
        DeviceRow row;
        if (ReadRow(name, inventory.OsdInfoList(), row) != 0) {
            report.problem = "could not drop privilege again after asking the disk of " + name;
            return;
        }
        Judge(row, report.problem.empty());
        report.rows.push_back(std::move(row));
    }
}
