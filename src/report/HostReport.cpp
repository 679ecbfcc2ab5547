#include "report/HostReport.h"

#include <algorithm>

#include "bcache/BcacheDev.h"
#include "disk/Transport.h"
#include "osd/OsdInfoMap.h"
#include "sys/BlockStack.h"
#include "sys/ScopedHandles.h"
#include "sys/Status.h"
#include "writecache/PublishedView.h"
#include "writecache/WriteCacheStep.h"

namespace
{

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
    BcacheDev device(name);
    DeviceFacts facts;
    const bool found = ReadDeviceFacts(device, records, true, facts) == 0;
    FillRow(name, found ? &facts : nullptr, records, row);
    if (!found) {
        return 0;
    }
    row.transport = ReadTransport(device, facts.disk);
    std::string state;
    if (!DiskTakesCommands(device, facts.disk, &state)) {
        row.silence = "cannot take commands: state " + state;
        return 0;
    }
    device.Gate().readTimeoutMs = REPORT_DISK_TIMEOUT_MS;
    const int read = ReadDiskWithPrivilege(device, facts.disk, &row.diskCache);
    if (device.Gate().timedOut) {
        row.silence = "does not answer: no answer within " + std::to_string(REPORT_DISK_TIMEOUT_MS / 1000) + " s";
    }
    return read == ERR_PRIVILEGE ? ERR_PRIVILEGE : 0;
}

} // namespace

void ReadHostReport(HostReport& report)
{
    // The clusters' and Rook's roots too, as the daemon's inventory reads them.
    OsdInfoMap inventory(OSD_ROOT, CEPHADM_BASE, ROOK_BASE);
    const int refreshed = inventory.RefreshOsdInfo();
    if (refreshed == ERR_PRIVILEGE) {
        report.problem = "could not drop privilege again after reading the OSD directories";
        return;
    }
    report.problem = InventoryProblem(refreshed, inventory.Incomplete());
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

void ReadReport(const std::string& path, HostReport& report, ReportSource& source)
{
    ViewHeader header;
    if (ReadView(path, header, report) == 0) {
        source.pid = header.pid;
        source.age = BootSeconds() - header.written;
        // A view left by a daemon that crashed, or by one stuck in a pass
        // far longer than a disk's time-out, is not the host's state now.
        source.fromView = DaemonRuns(header.pid) && source.age >= 0 && source.age <= VIEW_FRESH_SECONDS;
    }
    if (!source.fromView) {
        report = HostReport();
        ReadHostReport(report);
    }
}
