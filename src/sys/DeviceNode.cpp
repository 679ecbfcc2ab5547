#include "sys/DeviceNode.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/Log.h"
#include "sys/LogGate.h"

int CheckResolved(SystemApi& api, const char* resolved)
{
    if (api.Access(resolved, F_OK) != 0) {
        const int error = errno;
        LogCondition(LOG_ERROR, "access %s error:%d %s\n", resolved, error, strerror(error));
        return -1;
    }
    return 0;
}

int ResolveExisting(SystemApi& api, const char* path, char* resolved)
{
    if (api.RealPath(path, resolved) == nullptr) {
        const int error = errno;
        LogCondition(LOG_ERROR, "realpath %s error:%d %s\n", path, error, strerror(error));
        return -1;
    }
    return CheckResolved(api, resolved);
}
