// quelvar: keeps the write caches of bcache-backed Ceph OSD disks safe and
// the bcache devices tuned. No arguments, no configuration; stops on SIGTERM.
#include "core/Daemon.h"

int main()
{
    Daemon daemon;
    return daemon.Run();
}
