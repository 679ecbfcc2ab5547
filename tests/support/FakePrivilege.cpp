#include "support/FakePrivilege.h"

#include <cerrno>
#include <ctime>

FakePrivilege g_privilege;

void FakePrivilege::Reset()
{
    g_privilege = FakePrivilege();
}

extern "C" {

struct tm* __real_localtime(const time_t* clock);

uid_t __wrap_geteuid()
{
    return g_privilege.euid;
}

int __wrap_setuid(uid_t uid)
{
    g_privilege.calls.push_back("setuid(" + std::to_string(uid) + ")");
    if (g_privilege.setuidFails) {
        errno = EPERM;
        return -1;
    }
    g_privilege.euid = uid;
    return 0;
}

int __wrap_seteuid(uid_t uid)
{
    g_privilege.calls.push_back("seteuid(" + std::to_string(uid) + ")");
    if (g_privilege.seteuidFails) {
        errno = EPERM;
        return -1;
    }
    g_privilege.euid = uid;
    return 0;
}

struct tm* __wrap_localtime(const time_t* clock)
{
    if (g_privilege.localtimeFails) {
        return nullptr;
    }
    return __real_localtime(clock);
}

} // extern "C"
