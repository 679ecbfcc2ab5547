#include "support/HeldChildren.h"

#include <sys/types.h>
#include <sys/wait.h>

bool g_childrenHeld = false;

extern "C" {

pid_t __real_waitpid(pid_t pid, int* status, int options);

pid_t __wrap_waitpid(pid_t pid, int* status, int options)
{
    if (g_childrenHeld && pid > 0 && (options & WNOHANG) != 0) {
        return 0;
    }
    return __real_waitpid(pid, status, options);
}

} // extern "C"
