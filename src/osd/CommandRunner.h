// The daemon's one general command runner.
#ifndef QUELVAR_OSD_COMMANDRUNNER_H
#define QUELVAR_OSD_COMMANDRUNNER_H

#include <string>
#include <vector>

// Runs `command` through the shell and appends its standard output lines,
// without their newline, to `lines` (which then holds at most
// COMMAND_MAX_LINES entries). 0 when the command ran and its output was
// read; -1 when it was refused by the character rule or could not start.
// With `status`, the command's wait status (as pclose gives it) goes there.
[[nodiscard]] int RunCommand(const std::string& command, std::vector<std::string>& lines, int* status = nullptr);

constexpr size_t COMMAND_MAX_LINES = 257;

#endif
