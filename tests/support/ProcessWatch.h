// What a test of the command runner looks at in /proc: the process's own
// descriptors, and whether a process it started is still alive.
#ifndef QUELVAR_TESTS_SUPPORT_PROCESSWATCH_H
#define QUELVAR_TESTS_SUPPORT_PROCESSWATCH_H

#include <sys/types.h>

#include <string>
#include <vector>

// How many descriptors the test process holds open.
size_t OpenDescriptors();

// True once `pid` is gone, or a zombie that only waits for its new parent
// to reap it; false if it still runs after two seconds.
bool ProcessEnded(pid_t pid);

// The process ids written to `file`, one a line (none if it is missing).
std::vector<pid_t> PidsIn(const std::string& file);

// A shell script that writes its own pid and that of a child it leaves
// running in the background to `file`, then waits for ever.
std::string ScriptLeavingAChild(const std::string& file);

#endif
