// The text of a log line. Much of what the daemon logs comes from outside
// it: OSD directory names and link texts (owned by the ceph user), device
// names, command output. A line end in such text would write a second,
// forged record into the root-owned log, so control characters are written
// escaped; the daemon's own formats hold none but their final line end.
#ifndef QUELVAR_SYS_LOGTEXT_H
#define QUELVAR_SYS_LOGTEXT_H

#include <cstdarg>
#include <cstddef>

// Formats as vsnprintf_s does (at most `count` characters and a terminator
// into `dest` of `destMax` bytes; the count written, or -1 when they do not
// fit, an argument is invalid or the format stores a count (%n), dest then
// holding the empty string), then writes every control character (below
// 0x20, and 0x7f) escaped: "\n", "\r", "\t", any other as "\x" and two hex
// digits. The CR and LF that the format itself ends in are kept as they
// stand, for the writer to strip; an argument's own are escaped. The limit
// holds for the escaped text.
[[nodiscard]] int FormatLogText(char* dest, size_t destMax, size_t count, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));

// Cuts the CR and LF at the end of `line`: the writer ends every line itself.
void StripLineEnds(char* line);

#endif
