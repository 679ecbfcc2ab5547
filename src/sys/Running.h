// The stop request: the one object the SIGTERM handler shares with the rest
// of the daemon.
#ifndef QUELVAR_SYS_RUNNING_H
#define QUELVAR_SYS_RUNNING_H

#include <csignal>

// 1 at load; the SIGTERM handler stores 0 and nothing else writes it. The
// main loop reads it at the top of every pass, and a wait on a command
// between its slices, so that a stop is honoured at once. volatile
// sig_atomic_t so that every read really reads it.
extern volatile std::sig_atomic_t running;

#endif
