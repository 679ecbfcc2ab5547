#include "sys/LogText.h"

#include <cstring>

#include "sys/SafeString.h"

namespace {

// `c` as the log shows it; the count of characters put into `out`.
size_t Escape(unsigned char c, char (&out)[4])
{
    static const char HEX[] = "0123456789abcdef";
    const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
    if (named != nullptr) {
        std::memcpy(out, named, 2);
        return 2;
    }
    if (c >= 0x20 && c != 0x7f) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    const char hex[4] = {'\\', 'x', HEX[c >> 4], HEX[c & 0xf]};
    std::memcpy(out, hex, 4);
    return 4;
}

// %n is the one conversion that writes through an argument; no message of
// the daemon has a use for it.
bool StoresCount(const char* format)
{
    for (const char* at = std::strchr(format, '%'); at != nullptr; at = std::strchr(at + 1, '%')) {
        at += 1 + std::strspn(at + 1, "0123456789$*.#-+ 'IhlLqjztZ");
        if (*at == 'n') {
            return true;
        }
        if (*at == '\0') {
            break;
        }
    }
    return false;
}

} // namespace

void StripLineEnds(char* line)
{
    size_t end = strlen(line);
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) {
        line[--end] = '\0';
    }
}

int FormatLogText(char* dest, size_t destMax, size_t count, const char* format, va_list args)
{
    const bool refused = format != nullptr && StoresCount(format);
    int formatted = vsnprintf_s(dest, destMax, count, refused ? nullptr : format, args);
    if (formatted < 0) {
        return -1;
    }
    // The output ends in the format's own closing CR and LF; a %s or %c just
    // before them may end in CR or LF too, and those are outside text.
    const size_t length = static_cast<size_t>(formatted);
    const char* formatEnd = format + std::strlen(format);
    size_t lineEnd = 0;
    while (lineEnd < length && formatEnd > format && (formatEnd[-1] == '\n' || formatEnd[-1] == '\r')) {
        --formatEnd;
        ++lineEnd;
    }
    const size_t text = length - lineEnd;
    char piece[4];
    size_t escaped = lineEnd;
    for (size_t i = 0; i < text; ++i) {
        escaped += Escape(static_cast<unsigned char>(dest[i]), piece);
    }
    if (escaped > count) {
        dest[0] = '\0';
        return -1;
    }
    // Widened in place from the back, so that every byte is read before the
    // escaped text can reach it.
    std::memmove(dest + escaped - lineEnd, dest + text, lineEnd);
    dest[escaped] = '\0';
    for (size_t from = text, to = escaped - lineEnd; from > 0;) {
        const size_t n = Escape(static_cast<unsigned char>(dest[--from]), piece);
        to -= n;
        std::memcpy(dest + to, piece, n);
    }
    return static_cast<int>(escaped);
}
