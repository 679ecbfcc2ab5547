// Status codes shared by every subsystem. 0 is success and -1 a failure that
// has already been logged where it was detected.
#ifndef QUELVAR_SYS_STATUS_H
#define QUELVAR_SYS_STATUS_H

// The daemon could not return to its saved effective user after a privileged
// step. Every caller passes it up unchanged and the main loop stops on it,
// since carrying on would leave the daemon running as root.
constexpr int ERR_PRIVILEGE = 0x7fff;

#endif
