// The command line: none for the service, or one read-only status report.
#ifndef QUELVAR_APP_COMMANDLINE_H
#define QUELVAR_APP_COMMANDLINE_H

#include <string>

#include "report/StatusCommand.h"

enum class RunMode { Daemon, Status, Help, Version };

struct CommandLine {
    RunMode mode = RunMode::Daemon;
    ReportForm form = ReportForm::Text;
    std::string file; // --prometheus=FILE; empty for standard output
};

// The exit status of a command line that was not understood (EX_USAGE).
constexpr int EXIT_USAGE = 64;

// Reads the options with getopt_long, printing nothing. 0 understood, with
// `line` set; EXIT_USAGE for an unknown option, a stray argument, or a form
// given without --status or twice.
[[nodiscard]] int ParseCommandLine(int argc, char* argv[], CommandLine& line);

// What main does with the command line: the usage line on standard error
// and EXIT_USAGE before anything is created or logged, the help or the
// version, the status report, or the daemon. The process's exit status.
[[nodiscard]] int RunCommandLine(int argc, char* argv[]);

#endif
