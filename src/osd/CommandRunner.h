// The daemon's one general command runner.
//
// A command runs without a shell, from a fixed argument vector, as a child
// that cannot outlive the daemon. Its standard output is read through a pipe
// against a deadline, and the wait ends early when the daemon is told to
// stop. On every path the child is killed if it still runs and is reaped,
// and every descriptor is closed.
#ifndef QUELVAR_OSD_COMMANDRUNNER_H
#define QUELVAR_OSD_COMMANDRUNNER_H

#include <string>
#include <vector>

// How much output a command may print: LVM's report of 16,384 physical
// volumes at 512 bytes a line (a device path and a volume group name, each
// up to 127 bytes in LVM, padded to the longest). A command that prints more
// is killed and its output not used: a report cut short would leave
// volumes out without a word.
constexpr size_t COMMAND_OUTPUT_MAX = 8 << 20;
// How long a command may take, start to exit, in milliseconds. A healthy
// pvs answers in well under a second even under emulation (README: "When
// LVM hangs"); a stalled scan or a lock held by another LVM command does
// not end by itself.
constexpr unsigned COMMAND_DEADLINE_MS = 10000;

// Outcomes beside 0 (ran to its end) and -1 (refused, or could not start:
// logged).
constexpr int COMMAND_TIMED_OUT = 2;  // past its deadline: killed and reaped (logged)
constexpr int COMMAND_STOPPED = 3;    // the daemon was told to stop: killed and reaped, or never started
constexpr int COMMAND_TOO_LONG = 4;   // printed more than COMMAND_OUTPUT_MAX: killed and reaped (logged)

// Runs the program argv[0], looked up on PATH, with `argv`, reads its whole
// standard output against the deadline, then appends its lines, without
// their newline, to `lines`. Standard input and error are the daemon's. With
// `status`, the child's wait status goes there on 0. 0, -1,
// COMMAND_TIMED_OUT, COMMAND_STOPPED or COMMAND_TOO_LONG.
[[nodiscard]] int RunProgram(const std::vector<std::string>& argv, std::vector<std::string>& lines, int* status,
                             unsigned deadlineMs = COMMAND_DEADLINE_MS);

// RunProgram for a command text: refused (-1, never started) unless every
// character passes the path character rule; its words, split at blanks,
// are the argument vector.
[[nodiscard]] int RunCommand(const std::string& command, std::vector<std::string>& lines, int* status = nullptr);

// Reaps the children that a kill did not end within its grace (a process
// waiting on a dying disk dies only when the disk answers). Cheap when
// there are none; the inventory calls it on every pass.
void ReapKilledCommands();

#endif
