#include "writecache/WriteCacheStep.h"

#include <unistd.h>

#include "disk/BackingDisk.h"
#include "disk/DiskCache.h"
#include "disk/KernelView.h"
#include "disk/Transport.h"
#include "sys/Log.h"
#include "sys/Privilege.h"
#include "sys/Status.h"

namespace {

// Runs `step` inside a privileged window that covers exactly that call. -1
// when privilege could not be raised, ERR_PRIVILEGE when the return to the
// saved user failed, else the step's result.
template <typename Step>
int WithPrivilege(const Step& step)
{
    uid_t saved = geteuid();
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    const int result = step();
    return RestorePrivilege(saved) != 0 ? ERR_PRIVILEGE : result;
}

int FlushWithPrivilege(BcacheDev& device, const BackingDisk& disk)
{
    return WithPrivilege([&] {
        const int result = device.FlushBcache(disk);
        // A disk that fell silent is reported once, by the watch.
        if (result != 0 && !device.Gate().timedOut) {
            WriteLog(LOG_ERROR, "FlushBcache error:%s return:%d\n", device.Name().c_str(), result);
        }
        return result;
    });
}

} // namespace

const OsdInfo* FindCacheOffRecord(const std::vector<OsdInfo>& records, const std::string& device)
{
    for (const OsdInfo& record : records) {
        if (record.engineType == ENGINE_BLUESTORE && record.blockLink != record.dbLink && record.IsCarriedBy(device)) {
            return &record;
        }
    }
    return nullptr;
}

const OsdInfo* FindCarriedRecord(const std::vector<OsdInfo>& records, const std::string& device)
{
    const OsdInfo* other = nullptr;
    for (const OsdInfo& record : records) {
        if (!record.IsCarriedBy(device)) {
            continue;
        }
        if (record.engineType == ENGINE_BLUESTORE) {
            return &record;
        }
        other = other != nullptr ? other : &record;
    }
    return other;
}

int ReadDeviceFacts(BcacheDev& device, const std::vector<OsdInfo>& records, bool readMode, DeviceFacts& facts)
{
    if (device.GetBackendDev(facts.disk) != 0) {
        return -1;
    }
    facts.guard = FindCacheOffRecord(records, device.Name());
    // A disk behind no guarded OSD is not looked at, not even its attribute.
    if (facts.guard == nullptr && !readMode) {
        return 0;
    }
    FindWholeDisk(device, &facts.disk);
    // The nvme driver shows "write back" for every namespace whose controller
    // has a volatile cache, on or off: only the disk can tell.
    if (facts.disk.transport != DISK_TRANSPORT_NVME) {
        facts.kernelMode = QueryWriteCacheMode(device, facts.disk);
    }
    return 0;
}

int ReadDiskWithPrivilege(BcacheDev& device, const BackingDisk& disk, int* state)
{
    return WithPrivilege([&] {
        *state = ReadDiskWriteCache(device, disk);
        return 0;
    });
}

namespace {

// The commands of the write-cache step, once the disk has its turn; what
// the disk said of its cache goes to *said.
int GuardDisk(BcacheDev& device, const DeviceFacts& facts, int* said)
{
    // "write back" leads straight to the switch, which reads the disk first.
    // "write through" is only what the kernel last saw: a SCSI disk's cache
    // turned back on behind its back (sdparm, a reset to saved values) still
    // shows it, and so the disk itself is asked. A disk that cannot tell is
    // left to the kernel's view, so it is not switched in vain every pass.
    if (facts.kernelMode == WRITE_CACHE_THROUGH) {
        const int read = ReadDiskWithPrivilege(device, facts.disk, said);
        if (read != 0 || *said != DISK_CACHE_ON) {
            return read;
        }
        WriteLog(LOG_INFO, "write cache of %s: the disk says on, the kernel says write through\n",
                 facts.disk.name.c_str());
    }
    const int result = FlushWithPrivilege(device, facts.disk);
    if (result == 0) {
        *said = DISK_CACHE_OFF;
    }
    return result;
}

// The disk's turn: its word in sysfs, then its commands. A disk known not
// to answer is first asked one read with a shorter wait: it has let a full
// time-out run out already, and each try of it holds up the pass (and the
// next view, which the OSDs' wait needs) for as long as it waits.
int TakeTurn(BcacheDev& device, const DeviceFacts& facts, DiskWatch& watch)
{
    const std::string& disk = facts.disk.name;
    std::string state;
    if (!DiskTakesCommands(device, facts.disk, &state)) {
        watch.Refused(disk, state);
        return 0;
    }
    int said = DISK_CACHE_UNKNOWN;
    if (watch.News(disk).timedOut) {
        device.Gate().readTimeoutMs = SILENT_DISK_TIMEOUT_MS;
        const int read = ReadDiskWithPrivilege(device, facts.disk, &said);
        device.Gate().readTimeoutMs = 0;
        if (read != 0 || device.Gate().timedOut) {
            watch.TimedOut(disk);
            return read;
        }
    }
    const int result = GuardDisk(device, facts, &said);
    if (device.Gate().timedOut) {
        watch.TimedOut(disk);
    } else if (device.Gate().answered) {
        watch.Answered(disk, said);
    } else {
        watch.News(disk).said = DISK_CACHE_UNKNOWN;
    }
    return result;
}

} // namespace

int WriteCacheStep(BcacheDev& device, const std::vector<OsdInfo>& records, DiskWatch& watch, DeviceRow* row)
{
    DeviceRow unused;
    DeviceRow& shown = row != nullptr ? *row : unused;
    DeviceFacts facts;
    if (ReadDeviceFacts(device, records, false, facts) != 0) {
        if (row != nullptr) {
            FillRow(device.Name(), nullptr, records, shown);
        }
        WriteLog(LOG_WARNING, "GetBackendDev error:%s\n", device.Name().c_str());
        return -1;
    }
    if (row != nullptr) {
        FillRow(device.Name(), &facts, records, shown);
    }
    if (facts.guard == nullptr) {
        return 0;
    }
    DiskNews& news = watch.News(facts.disk.name);
    if (row != nullptr && news.transport.empty()) {
        news.transport = ReadTransport(device, facts.disk);
    }
    int result = 0;
    switch (watch.TurnOf(facts.disk.name)) {
    case DiskWatch::Turn::NotThisPass:
        break;
    case DiskWatch::Turn::AfterWalk:
        watch.Defer(device.Name());
        break;
    case DiskWatch::Turn::Now:
        result = TakeTurn(device, facts, watch);
        break;
    }
    const DiskNews& heard = watch.News(facts.disk.name);
    shown.transport = heard.transport;
    shown.silence = heard.silence;
    shown.diskCache = heard.silence.empty() ? heard.said : DISK_CACHE_UNKNOWN;
    shown.answeredAt = heard.silence.empty() ? heard.saidAt : -1;
    return result;
}
