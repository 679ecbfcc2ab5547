// Raising and dropping root around a privileged step.
//
// A daemon started with a non-zero effective user becomes root with
// setuid(0) for the step and returns to the saved user with seteuid. With an
// effective user of 0 neither call is made.
#ifndef QUELVAR_SYS_PRIVILEGE_H
#define QUELVAR_SYS_PRIVILEGE_H

#include <sys/types.h>

// Raises privilege when `saved` is not 0. 0 done (or nothing to do); -1
// after logging "setuid(0) failed".
[[nodiscard]] int RaisePrivilege(uid_t saved);

// Returns to `saved` when it is not 0. 0 done (or nothing to do);
// ERR_PRIVILEGE when the drop failed, logged unless `logFailure` is false
// (for callers whose own caller reports the failure).
[[nodiscard]] int RestorePrivilege(uid_t saved, bool logFailure = true);

// Tries, once at start, the raise and drop every privileged step will make,
// so that a start without the needed privilege is told before anything is
// done. 0 the steps can be taken (or the effective user is 0); otherwise the
// errno of the call that failed. Logs nothing.
[[nodiscard]] int ProbePrivilege();

#endif
