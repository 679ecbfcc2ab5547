// Path resolution as realpath(3) gives it, in a fixed number of system calls.
#ifndef QUELVAR_SYS_REALPATH_H
#define QUELVAR_SYS_REALPATH_H

// realpath(path, resolved) into a 4096-byte buffer: the same result, and on
// failure the same null and errno, since every failure and every unusual
// answer is handed to realpath itself.
[[nodiscard]] char* ResolveRealPath(const char* path, char* resolved);

#endif
