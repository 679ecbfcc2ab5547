#include "sys/SafeString.h"

#include <cstdio>
#include <cstring>

int memset_s(void* dest, size_t destMax, int value, size_t count)
{
    if (dest == nullptr || destMax == 0 || destMax > SAFE_STRING_MAX || count > destMax) {
        return -1;
    }
    std::memset(dest, value, count);
    return 0;
}

int vsnprintf_s(char* dest, size_t destMax, size_t count, const char* format, va_list args)
{
    if (dest == nullptr || destMax == 0 || destMax > SAFE_STRING_MAX) {
        return -1;
    }
    if (format == nullptr || count >= destMax) {
        dest[0] = '\0';
        return -1;
    }
    // vsnprintf stops at count characters plus the terminator and tells how
    // many the whole output needed, which is how an overflow is detected.
    int needed = std::vsnprintf(dest, count + 1, format, args);
    if (needed < 0 || static_cast<size_t>(needed) > count) {
        dest[0] = '\0';
        return -1;
    }
    return needed;
}

int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vsnprintf_s(dest, destMax, count, format, args);
    va_end(args);
    return result;
}

int FormatPath(char (&path)[PATH_BUFFER_SIZE], const char* format, ...)
{
    if (memset_s(path, sizeof(path), 0, sizeof(path)) != 0) {
        return -1;
    }
    va_list args;
    va_start(args, format);
    int result = vsnprintf_s(path, sizeof(path), sizeof(path) - 1, format, args);
    va_end(args);
    return result;
}
