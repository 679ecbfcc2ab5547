#include "app/CommandLine.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "daemon/Daemon.h"
#include "sys/Privilege.h"

namespace
{

enum Option { OPTION_STATUS = 1, OPTION_JSON, OPTION_PROMETHEUS, OPTION_HELP, OPTION_VERSION };

constexpr struct option OPTIONS[] = {
    {"status", no_argument, nullptr, OPTION_STATUS},
    {"json", no_argument, nullptr, OPTION_JSON},
    {"prometheus", optional_argument, nullptr, OPTION_PROMETHEUS},
    {"help", no_argument, nullptr, OPTION_HELP},
    {"version", no_argument, nullptr, OPTION_VERSION},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* HELP_TEXT =
    "Usage: quelvar [OPTION]\n"
    "Keeps the volatile write caches of bcache backing disks that carry Ceph\n"
    "bluestore OSDs off, and tunes the bcache devices. Without an option it runs\n"
    "as the service does, until SIGTERM, and reports in /var/log/quelvar/quelvar.log.\n"
    "\n"
    "  --status             report, for every bcache device, whether its disk is\n"
    "                       protected, from the running daemon's view or else\n"
    "                       from the host, read once; change nothing\n"
    "    --json             the report as one JSON object\n"
    "    --prometheus[=FILE]  the report as metrics for a textfile collector,\n"
    "                       written to FILE (through a file beside it, renamed)\n"
    "  --help               this text\n"
    "  --version            the version\n"
    "\n"
    "Exit status of --status: 0 every guarded disk is protected, 2 at least one is\n"
    "UNPROTECTED, 3 some state could not be read. 64 for a command line that was\n"
    "not understood. Both need root. See quelvar(8).\n";

} // namespace

int ParseCommandLine(int argc, char* argv[], CommandLine& line)
{
    // Silent: the caller prints the one usage line. 0 starts the scan afresh.
    opterr = 0;
    optind = 0;
    bool formGiven = false;
    for (int option = getopt_long(argc, argv, "", OPTIONS, nullptr); option != -1;
         option = getopt_long(argc, argv, "", OPTIONS, nullptr)) {
        switch (option) {
        case OPTION_STATUS:
            if (line.mode == RunMode::Daemon) {
                line.mode = RunMode::Status;
            }
            break;
        case OPTION_JSON:
        case OPTION_PROMETHEUS:
            if (formGiven || (option == OPTION_PROMETHEUS && optarg != nullptr && optarg[0] == '\0')) {
                return EXIT_USAGE;
            }
            formGiven = true;
            line.form = option == OPTION_JSON ? ReportForm::Json : ReportForm::Prometheus;
            line.file = optarg != nullptr ? optarg : "";
            break;
        case OPTION_HELP:
            line.mode = RunMode::Help;
            break;
        case OPTION_VERSION:
            if (line.mode != RunMode::Help) {
                line.mode = RunMode::Version;
            }
            break;
        default:
            return EXIT_USAGE;
        }
    }
    if (optind != argc || (formGiven && line.mode == RunMode::Daemon)) {
        return EXIT_USAGE;
    }
    return 0;
}

int RunCommandLine(int argc, char* argv[])
{
    CommandLine line;
    if (ParseCommandLine(argc, argv, line) != 0) {
        fprintf(stderr, "usage: quelvar [--status [--json | --prometheus[=FILE]] | --help | --version]\n");
        return EXIT_USAGE;
    }
    switch (line.mode) {
    case RunMode::Help:
        fputs(HELP_TEXT, stdout);
        return 0;
    case RunMode::Version:
        printf("quelvar %s\n", QUELVAR_VERSION);
        return 0;
    case RunMode::Status:
        return RunStatus(line.form, line.file);
    case RunMode::Daemon:
        break;
    }
    // Told before the log directory is made: that step already needs root.
    const int error = ProbePrivilege();
    if (error != 0) {
        printf("setuid(0) failed: %s\n", strerror(error));
        fprintf(stderr,
                "quelvar: needs root to switch disk caches and tune bcache devices: run it as root, as "
                "its service does\n");
        return -1;
    }
    Daemon daemon;
    return daemon.Run();
}
