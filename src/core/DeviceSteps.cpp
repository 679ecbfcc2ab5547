#include "core/DeviceSteps.h"

#include <unistd.h>

#include "bcache/WriteCacheGuard.h"
#include "sys/Log.h"
#include "sys/Privilege.h"
#include "sys/Status.h"

const OsdInfo* FindCacheOffRecord(const std::vector<OsdInfo>& records, const std::string& device)
{
    for (const OsdInfo& record : records) {
        if (record.block == device && record.engineType == ENGINE_BLUESTORE && record.blockLink != record.dbLink) {
            return &record;
        }
    }
    return nullptr;
}

const OsdInfo* FindCarriedRecord(const std::vector<OsdInfo>& records, const std::string& device)
{
    for (const OsdInfo& record : records) {
        if (record.block == device) {
            return &record;
        }
    }
    return nullptr;
}

int ReadDeviceFacts(BcacheDev& device, const std::vector<OsdInfo>& records, bool readMode, DeviceFacts& facts)
{
    if (device.GetBackendDev(facts.disk) != 0) {
        return -1;
    }
    // The mode is only read when some OSD could need it: an empty inventory
    // costs the pass no attribute read.
    if (records.empty() && !readMode) {
        return 0;
    }
    facts.kernelMode = QueryWriteCacheMode(facts.disk);
    facts.guard = FindCacheOffRecord(records, device.Name());
    return 0;
}

bool CacheMustGoOff(const DeviceFacts& facts)
{
    return facts.guard != nullptr && facts.kernelMode != WRITE_CACHE_THROUGH;
}

namespace {

// FlushBcache inside the privileged window, which covers exactly that call.
int FlushWithPrivilege(BcacheDev& device)
{
    uid_t saved = geteuid();
    if (RaisePrivilege(saved) != 0) {
        return -1;
    }
    int result = device.FlushBcache();
    if (result != 0) {
        WriteLog(LOG_ERROR, "FlushBcache error:%s return:%d\n", device.Name().c_str(), result);
    }
    if (RestorePrivilege(saved) != 0) {
        return ERR_PRIVILEGE;
    }
    return result;
}

} // namespace

int WriteCacheStep(BcacheDev& device, const std::vector<OsdInfo>& records)
{
    DeviceFacts facts;
    if (ReadDeviceFacts(device, records, false, facts) != 0) {
        WriteLog(LOG_WARNING, "GetBackendDev error:%s\n", device.Name().c_str());
        return -1;
    }
    return CacheMustGoOff(facts) ? FlushWithPrivilege(device) : 0;
}

int TuningStep(BcacheDev& device)
{
    int result = device.TuneBcache();
    if (result == ERR_PRIVILEGE) {
        WriteLog(LOG_ERROR, "seteuid failed\n");
    }
    return result;
}

int RunDeviceSteps(BcacheDev& device, const std::vector<OsdInfo>& records)
{
    int result = WriteCacheStep(device, records);
    if (result == ERR_PRIVILEGE) {
        return result;
    }
    return TuningStep(device);
}
