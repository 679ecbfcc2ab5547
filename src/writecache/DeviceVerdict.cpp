#include "writecache/DeviceVerdict.h"

#include <algorithm>

#include "osd/OsdInfoMap.h"
#include "writecache/WriteCacheStep.h"

namespace {

void Set(DeviceRow& row, Verdict verdict, std::string reason)
{
    row.verdict = verdict;
    row.reason = std::move(reason);
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

std::string InventoryProblem(int refreshed, const std::string& incomplete)
{
    if (refreshed != 0) {
        return std::string("could not read the OSD directories under ") + OSD_ROOT;
    }
    return incomplete.empty() ? std::string() : "the OSD inventory is incomplete: " + incomplete;
}

void FillRow(const std::string& device, const DeviceFacts* facts, const std::vector<OsdInfo>& records,
             DeviceRow& row)
{
    row.device = device;
    for (const OsdInfo& record : records) {
        if (record.IsCarriedBy(device)) {
            row.osds.push_back(record);
        }
    }
    std::sort(row.osds.begin(), row.osds.end(),
              [](const OsdInfo& a, const OsdInfo& b) { return ByDeviceName(OsdId(a), OsdId(b)); });
    if (facts != nullptr) {
        row.disk = facts->disk.backing;
        row.kernelMode = facts->kernelMode;
        row.guarded = facts->guard != nullptr;
    }
}

void Judge(DeviceRow& row, bool inventoryRead)
{
    if (row.disk.empty()) {
        Set(row, Verdict::Unknown, "its backing disk could not be found");
        return;
    }
    if (!row.guarded) {
        const OsdInfo* osd = FindCarriedRecord(row.osds, row.device);
        if (!inventoryRead) {
            Set(row, Verdict::Unknown, "the OSD inventory could not be read");
        } else if (osd == nullptr) {
            Set(row, Verdict::NotGuarded, "it carries no OSD");
        } else if (osd->engineType != ENGINE_BLUESTORE) {
            Set(row, Verdict::NotGuarded, std::string("its OSD is ") + EngineName(osd->engineType) + ", not bluestore");
        } else {
            Set(row, Verdict::NotGuarded, "its OSD keeps its DB on the same device");
        }
        return;
    }
    if (!row.silence.empty()) {
        Set(row, Verdict::Unknown, "the disk " + row.silence);
    } else if (row.diskCache == DISK_CACHE_ON) {
        Set(row, Verdict::Unprotected, "the disk reports its write cache on");
    } else if (row.diskCache == DISK_CACHE_OFF) {
        Set(row, Verdict::Protected,
            row.kernelMode == WRITE_CACHE_BACK
                ? "the disk reports its write cache off; the kernel still shows write back"
                : "the disk reports its write cache off");
    } else if (row.kernelMode == WRITE_CACHE_BACK) {
        Set(row, Verdict::Unprotected, "the kernel shows write back; the disk did not tell its cache state");
    } else if (row.kernelMode == WRITE_CACHE_THROUGH) {
        Set(row, Verdict::Unknown, "the kernel shows write through, but the disk did not tell its cache state");
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
