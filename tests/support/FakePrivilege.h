// Link-time doubles for the privilege calls (-Wl,--wrap=geteuid,setuid,
// seteuid) and for localtime, so that tests can play any effective user and
// make the clock unreadable without touching the process's real identity.
#ifndef QUELVAR_TESTS_SUPPORT_FAKEPRIVILEGE_H
#define QUELVAR_TESTS_SUPPORT_FAKEPRIVILEGE_H

#include <sys/types.h>

#include <string>
#include <vector>

struct FakePrivilege {
    uid_t euid = 0;            // what geteuid answers
    bool setuidFails = false;  // setuid(0) fails with EPERM
    bool seteuidFails = false; // seteuid fails with EPERM
    bool localtimeFails = false;
    // "setuid(0)" and "seteuid(N)" in call order.
    std::vector<std::string> calls;

    // Restores the defaults: effective user 0, nothing failing.
    static void Reset();
};

extern FakePrivilege g_privilege;

#endif
