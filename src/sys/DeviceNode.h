// A device node as the daemon reaches it: the path resolved and tested
// before anything is opened, then opened read-only.
#ifndef QUELVAR_SYS_DEVICENODE_H
#define QUELVAR_SYS_DEVICENODE_H

#include <fcntl.h>

#include "sys/SystemApi.h"

// Device nodes are opened read-only and never created; the mode is inert.
constexpr int DEVICE_OPEN_FLAGS = O_RDONLY | O_NONBLOCK;
constexpr unsigned DEVICE_OPEN_MODE = 0600;

// The existence test of a resolved path. 0 exists, -1 not (logged).
[[nodiscard]] int CheckResolved(SystemApi& api, const char* resolved);

// realpath into `resolved` (PATH_BUFFER_SIZE bytes), then CheckResolved.
// 0 done, -1 failed (logged).
[[nodiscard]] int ResolveExisting(SystemApi& api, const char* path, char* resolved);

#endif
