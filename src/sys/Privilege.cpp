#include "sys/Privilege.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/Log.h"
#include "sys/LogGate.h"
#include "sys/Status.h"

int RaisePrivilege(uid_t saved)
{
    if (saved != 0 && setuid(0) != 0) {
        LogCondition(LOG_ERROR, "setuid(0) failed: %s \n", strerror(errno));
        return -1;
    }
    return 0;
}

int RestorePrivilege(uid_t saved, bool logFailure)
{
    if (saved != 0 && seteuid(saved) != 0) {
        if (logFailure) {
            WriteLog(LOG_ERROR, "seteuid(%d) failed: %s \n", static_cast<int>(saved), strerror(errno));
        }
        return ERR_PRIVILEGE;
    }
    return 0;
}

int ProbePrivilege()
{
    const uid_t saved = geteuid();
    if (saved == 0) {
        return 0;
    }
    if (setuid(0) != 0) {
        return errno;
    }
    return seteuid(saved) != 0 ? errno : 0;
}
