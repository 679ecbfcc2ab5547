// Bounds-checked memory and formatting primitives.
//
// Every buffer the daemon fills is zeroed with memset_s and every path is
// formatted with snprintf_s, so that an over-long name is a reported failure
// rather than a silently truncated path.
#ifndef QUELVAR_SYS_SAFESTRING_H
#define QUELVAR_SYS_SAFESTRING_H

#include <cstdarg>
#include <cstddef>

// Largest destination the primitives accept; anything above is taken for a
// corrupted size (for example a negative int converted to size_t).
constexpr size_t SAFE_STRING_MAX = 0x7fffffffUL;

// Fills `count` bytes of `dest` with `value`.
// 0 done; -1 when dest is null, destMax is 0 or too large, or count > destMax
// (nothing is written then).
[[nodiscard]] int memset_s(void* dest, size_t destMax, int value, size_t count);

// Formats at most `count` characters into `dest` and terminates them.
// Returns the number of characters written; -1 when the output would need
// more than `count` characters, when an argument is invalid (null dest or
// format, destMax 0 or too large, count not below destMax) or when the format
// fails. On -1 with a usable dest, dest holds the empty string.
[[nodiscard]] int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The argument-list form of snprintf_s, with the same contract.
[[nodiscard]] int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format,
                              va_list args) __attribute__((format(printf, 4, 0)));

// Every path the daemon builds goes into a buffer of this size.
constexpr size_t PATH_BUFFER_SIZE = 4096;

// Zeroes `path`, then formats at most PATH_BUFFER_SIZE - 1 characters into
// it. snprintf_s's result: negative when the path does not fit (the caller
// logs, naming its format).
[[nodiscard]] int FormatPath(char (&path)[PATH_BUFFER_SIZE], const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
