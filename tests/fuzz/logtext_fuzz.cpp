// The log writer's text handling: outside text, however hostile, comes out
// padded, cut and escaped exactly as the rules say, within the limit, and a
// line is composed and written without fault.
#include <cstdarg>
#include <cstring>
#include <string>

#include "fuzz/FuzzInput.h"
#include "sys/Log.h"
#include "sys/LogText.h"

namespace {

int Format(char* dest, size_t destMax, size_t count, const char* format, ...) __attribute__((format(printf, 4, 5)));
int Format(char* dest, size_t destMax, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = FormatLogText(dest, destMax, count, format, args);
    va_end(args);
    return result;
}

std::string Escaped(const std::string& text)
{
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += std::string("\\x") + HEX[c >> 4] + HEX[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Padded(const std::string& text, int width)
{
    bool left = width < 0;
    size_t wanted = static_cast<size_t>(left ? -width : width);
    std::string pad(text.size() < wanted ? wanted - text.size() : 0, ' ');
    return left ? text + pad : pad + text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const size_t count = in.Word() % 1100;
    const int width = static_cast<int8_t>(in.Byte()) % 40;
    const int precision = in.Byte() % 48;
    const char c = static_cast<char>(in.Byte());
    // The texts as a C string sees them: up to the first zero byte.
    const std::string first = in.Chunk().c_str();
    const std::string second = in.Chunk().c_str();
    const std::string rest = in.Rest().c_str();

    // The format's own line end stands; a %c just before it is outside text.
    char line[1200];
    int written = Format(line, count + 1, count, "[%s|%*.*s|%d]%c\r\n", first.c_str(), width, precision,
                         second.c_str(), width, c);
    const std::string expected = "[" + Escaped(first) + "|" +
                                 Escaped(Padded(second.substr(0, precision), width)) + "|" +
                                 std::to_string(width) + "]" + Escaped(std::string(1, c)) + "\r\n";
    if (expected.size() <= count) {
        FUZZ_CHECK(written == static_cast<int>(expected.size()));
        FUZZ_CHECK(expected == line);
    } else {
        FUZZ_CHECK(written == -1 && line[0] == '\0');
    }

    // A trace is composed and dropped; every eighth input writes a line.
    WriteLog(LOG_DEBUG, "fsid:%s\n", rest.c_str());
    if ((count & 7) == 0) {
        WriteLog(LOG_WARNING, "readlink %s error:%d %s\n", rest.c_str(), precision, first.c_str());
    }
    return 0;
}
