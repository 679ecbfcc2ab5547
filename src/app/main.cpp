// quelvar: keeps the write caches of bcache-backed Ceph OSD disks safe and
// the bcache devices tuned. Without arguments it runs as the service does,
// until SIGTERM; --status reports once and exits.
#include <cstdio>

#include "app/CommandLine.h"

int main(int argc, char* argv[])
{
    // The log writer reports its own trouble on standard output, which a
    // service manager connects to a pipe: line by line, not when a buffer
    // fills or never.
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    return RunCommandLine(argc, argv);
}
