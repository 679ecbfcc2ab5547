// Guarded access to small kernel attribute files, and the character rule
// that also guards every shell command line the daemon runs.
#ifndef QUELVAR_SYS_CHECKEDFILE_H
#define QUELVAR_SYS_CHECKEDFILE_H

// 0 when every character is an ASCII letter or digit, a space, "-", "/" or
// "_"; -1 otherwise. The dot is refused, so no ".." and no shell syntax pass.
[[nodiscard]] int CheckPathChars(const char* text);

// One read (write == 0) or one write (any other value) of `size` bytes on an
// existing file, after refusing null arguments and unsafe paths. The caller
// zeroes a read buffer beforehand; nothing here terminates it.
// 0 done (a short transfer counts), 1 failed (logged).
[[nodiscard]] int SafeReadWriteFile(const char* path, void* buffer, int size, int write);

// The unguarded step behind SafeReadWriteFile. 0 done, 1 failed (logged).
[[nodiscard]] int ReadWriteFile(const char* path, void* buffer, int size, int write);

#endif
