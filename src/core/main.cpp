// quelvar: keeps the write caches of bcache-backed Ceph OSD disks safe and
// the bcache devices tuned. No arguments, no configuration; stops on SIGTERM.
#include <cstdio>

#include "core/Daemon.h"

int main()
{
    // The log writer reports its own trouble on standard output, which a
    // service manager connects to a pipe: line by line, not when a buffer
    // fills or never.
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    Daemon daemon;
    return daemon.Run();
}
