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

// What a command's output may hold: lines beyond it are not kept.
constexpr size_t COMMAND_MAX_LINES = 257;
// How long a command may take, start to exit, in milliseconds. A healthy
// pvs answers in well under a second even under emulation (README: "When
// LVM hangs"); a stalled scan or a lock held by another LVM command does
// not end by itself.
constexpr unsigned COMMAND_DEADLINE_MS = 10000;

// Outcomes beside 0 (ran to its end) and -1 (refused, or could not start:
// logged).
constexpr int COMMAND_TIMED_OUT = 2;  // past its deadline: killed and reaped (logged)
constexpr int COMMAND_STOPPED = 3;    // the daemon was told to stop: killed and reaped, or never started

// Runs the program argv[0], looked up on PATH, with `argv`, and appends its
// standard output lines, without their newline, to `lines` (which then
// holds at most COMMAND_MAX_LINES entries; a line longer than 4095 bytes
// arrives in pieces). Standard input and error are the daemon's. With
// `status`, the child's wait status goes there on 0. 0, -1,
// COMMAND_TIMED_OUT or COMMAND_STOPPED.
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
