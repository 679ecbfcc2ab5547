#include "daemon/DeviceSteps.h"

#include "sys/Log.h"
#include "sys/Status.h"
#include "writecache/WriteCacheStep.h"

int TuningStep(BcacheDev& device)
{
    int result = device.TuneBcache();
    if (result == ERR_PRIVILEGE) {
        WriteLog(LOG_ERROR, "seteuid failed\n");
    }
    return result;
}

int RunDeviceSteps(BcacheDev& device, const std::vector<OsdInfo>& records, DiskWatch& watch, DeviceRow* row)
{
    int result = WriteCacheStep(device, records, watch, row);
    if (result == ERR_PRIVILEGE) {
        return result;
    }
    return TuningStep(device);
}
