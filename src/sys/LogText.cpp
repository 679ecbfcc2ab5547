#include "sys/LogText.h"

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sys/SafeString.h"

namespace {

// Where the formatted text goes: never more than `count` characters.
class Output {
public:
    Output(char* destination, size_t limit) : dest(destination), count(limit) {}

    bool Put(char c)
    {
        if (used >= count) {
            return false;
        }
        dest[used++] = c;
        return true;
    }
    bool Pad(size_t from, size_t width)
    {
        for (; from < width; ++from) {
            if (!Put(' ')) {
                return false;
            }
        }
        return true;
    }
    // Writes one byte of outside text, escaped when it is a control character.
    bool PutEscaped(unsigned char c)
    {
        static const char HEX[] = "0123456789abcdef";
        switch (c) {
        case '\n':
            return Put('\\') && Put('n');
        case '\r':
            return Put('\\') && Put('r');
        case '\t':
            return Put('\\') && Put('t');
        default:
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            return Put('\\') && Put('x') && Put(HEX[c >> 4]) && Put(HEX[c & 0xf]);
        }
        return Put(static_cast<char>(c));
    }
    // Outside text of `length` bytes, padded to `width` escaped characters.
    bool PutText(const char* text, size_t length, size_t width, bool left)
    {
        size_t escaped = 0;
        for (size_t i = 0; i < length; ++i) {
            escaped += EscapedLength(static_cast<unsigned char>(text[i]));
        }
        if (!left && !Pad(escaped, width)) {
            return false;
        }
        for (size_t i = 0; i < length; ++i) {
            if (!PutEscaped(static_cast<unsigned char>(text[i]))) {
                return false;
            }
        }
        return !left || Pad(escaped, width);
    }
    // One number or pointer, formatted by the C library with `directive`,
    // which the caller built from a conversion of a format the compiler
    // checked.
    template <typename T>
    bool PutValue(const char* directive, T value)
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int needed = std::snprintf(dest + used, count - used + 1, directive, value);
#pragma GCC diagnostic pop
        if (needed < 0 || static_cast<size_t>(needed) > count - used) {
            return false;
        }
        used += static_cast<size_t>(needed);
        return true;
    }
    size_t Used() const { return used; }

private:
    static size_t EscapedLength(unsigned char c)
    {
        if (c == '\n' || c == '\r' || c == '\t') {
            return 2;
        }
        return c < 0x20 || c == 0x7f ? 4 : 1;
    }

    char* dest;
    size_t count;
    size_t used = 0;
};

// One conversion of the format, its '*' fields resolved.
struct Conversion {
    char flags[8] = {};
    size_t flagCount = 0;
    bool left = false;
    bool hasWidth = false;
    int width = 0;
    int precision = -1;  // none
    char length[3] = {};
    char kind = '\0';
};

// Enough for "%", five flags, two ten-digit numbers, ".", "hh", the kind.
constexpr size_t DIRECTIVE_SIZE = 40;

// The conversion as the C library takes it, with the fields resolved.
bool BuildDirective(const Conversion& conversion, char (&directive)[DIRECTIVE_SIZE])
{
    char width[16] = {};
    char precision[16] = {};
    if (conversion.hasWidth) {
        (void)std::snprintf(width, sizeof(width), "%d", conversion.width);
    }
    if (conversion.precision >= 0) {
        (void)std::snprintf(precision, sizeof(precision), ".%d", conversion.precision);
    }
    int written = std::snprintf(directive, sizeof(directive), "%%%s%s%s%s%c", conversion.flags, width,
                                precision, conversion.length, conversion.kind);
    return written > 0 && static_cast<size_t>(written) < sizeof(directive);
}

// Reads a decimal field of the format; false when it overflows an int.
bool ReadNumber(const char*& at, int& value)
{
    value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        if (value > (INT32_MAX - 9) / 10) {
            return false;
        }
        value = value * 10 + (*at - '0');
    }
    return true;
}

bool IsLengthStart(char c)
{
    return c == 'h' || c == 'l' || c == 'j' || c == 'z' || c == 't' || c == 'L';
}

} // namespace

int FormatLogText(char* dest, size_t destMax, size_t count, const char* format, va_list args)
{
    if (dest == nullptr || destMax == 0 || destMax > SAFE_STRING_MAX) {
        return -1;
    }
    if (format == nullptr || count >= destMax) {
        dest[0] = '\0';
        return -1;
    }
    va_list ap;
    va_copy(ap, args);
    Output out(dest, count);
    bool ok = true;
    for (const char* at = format; ok && *at != '\0'; ++at) {
        if (*at != '%') {
            ok = out.Put(*at);
            continue;
        }
        ++at;
        if (*at == '%') {
            ok = out.Put('%');
            continue;
        }
        Conversion conversion;
        for (; std::strchr("-+ #0", *at) != nullptr && *at != '\0'; ++at) {
            conversion.left = conversion.left || *at == '-';
            if (conversion.flagCount + 1 < sizeof(conversion.flags)) {
                conversion.flags[conversion.flagCount++] = *at;
            }
        }
        if (*at == '*') {
            ++at;
            conversion.hasWidth = true;
            conversion.width = va_arg(ap, int);
            if (conversion.width < 0) {
                // A negative width is a '-' flag and its magnitude.
                conversion.left = true;
                conversion.width = conversion.width == INT32_MIN ? INT32_MAX : -conversion.width;
                if (conversion.flagCount + 1 < sizeof(conversion.flags)) {
                    conversion.flags[conversion.flagCount++] = '-';
                }
            }
        } else if (*at >= '0' && *at <= '9') {
            conversion.hasWidth = true;
            ok = ReadNumber(at, conversion.width);
        }
        if (ok && *at == '.') {
            ++at;
            if (*at == '*') {
                ++at;
                int precision = va_arg(ap, int);
                conversion.precision = precision < 0 ? -1 : precision;
            } else {
                ok = ReadNumber(at, conversion.precision);
            }
        }
        for (size_t n = 0; ok && IsLengthStart(*at) && n + 1 < sizeof(conversion.length); ++at) {
            conversion.length[n++] = *at;
        }
        conversion.kind = *at;
        if (!ok || *at == '\0') {
            ok = false;
            break;
        }
        const char length = conversion.length[0];
        const bool longLong = length == 'l' && conversion.length[1] == 'l';
        const size_t width = conversion.hasWidth ? static_cast<size_t>(conversion.width) : 0;
        char directive[DIRECTIVE_SIZE];
        switch (conversion.kind) {
        case 's': {
            if (length != '\0') {
                ok = false;  // wide strings: never used
                break;
            }
            const char* text = va_arg(ap, const char*);
            if (text == nullptr) {
                text = "(null)";
            }
            size_t size = conversion.precision < 0 ? std::strlen(text)
                                                   : strnlen(text, static_cast<size_t>(conversion.precision));
            ok = out.PutText(text, size, width, conversion.left);
            break;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(ap, int));
            ok = length == '\0' && out.PutText(&c, 1, width, conversion.left);
            break;
        }
        case 'd':
        case 'i':
            ok = BuildDirective(conversion, directive);
            if (!ok) {
                break;
            }
            if (longLong) {
                ok = out.PutValue(directive, va_arg(ap, long long));
            } else if (length == 'l') {
                ok = out.PutValue(directive, va_arg(ap, long));
            } else if (length == 'j') {
                ok = out.PutValue(directive, va_arg(ap, intmax_t));
            } else if (length == 'z') {
                ok = out.PutValue(directive, va_arg(ap, ssize_t));
            } else if (length == 't') {
                ok = out.PutValue(directive, va_arg(ap, ptrdiff_t));
            } else {
                ok = length != 'L' && out.PutValue(directive, va_arg(ap, int));
            }
            break;
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            ok = BuildDirective(conversion, directive);
            if (!ok) {
                break;
            }
            if (longLong) {
                ok = out.PutValue(directive, va_arg(ap, unsigned long long));
            } else if (length == 'l') {
                ok = out.PutValue(directive, va_arg(ap, unsigned long));
            } else if (length == 'j') {
                ok = out.PutValue(directive, va_arg(ap, uintmax_t));
            } else if (length == 'z') {
                ok = out.PutValue(directive, va_arg(ap, size_t));
            } else if (length == 't') {
                ok = out.PutValue(directive, va_arg(ap, ptrdiff_t));
            } else {
                ok = length != 'L' && out.PutValue(directive, va_arg(ap, unsigned));
            }
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            ok = BuildDirective(conversion, directive);
            if (ok && length == 'L') {
                ok = out.PutValue(directive, va_arg(ap, long double));
            } else if (ok) {
                ok = (length == '\0' || length == 'l') && out.PutValue(directive, va_arg(ap, double));
            }
            break;
        case 'p':
            ok = length == '\0' && BuildDirective(conversion, directive) &&
                 out.PutValue(directive, va_arg(ap, void*));
            break;
        default:
            // %n and anything unknown: the daemon never asks for them.
            ok = false;
            break;
        }
    }
    va_end(ap);
    if (!ok) {
        dest[0] = '\0';
        return -1;
    }
    dest[out.Used()] = '\0';
    return static_cast<int>(out.Used());
}
