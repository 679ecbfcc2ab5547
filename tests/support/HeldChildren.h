// A link-time double for waitpid (-Wl,--wrap=waitpid, in the OSD tests
// only): while held, a child asked for without waiting seems still to run,
// as one in uninterruptible sleep on a dying disk would, though SIGKILL has
// ended it.
#ifndef QUELVAR_TESTS_SUPPORT_HELDCHILDREN_H
#define QUELVAR_TESTS_SUPPORT_HELDCHILDREN_H

extern bool g_childrenHeld;

#endif
