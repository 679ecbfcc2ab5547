#include "osd/CommandRunner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/CheckedFile.h"
#include "sys/Log.h"
#include "sys/SafeString.h"

namespace {

constexpr size_t COMMAND_LINE_SIZE = 4096;

// The command's output stream, closed on every path; Close hands out the
// command's wait status.
class CommandStream {
public:
    explicit CommandStream(FILE* pipe) : stream(pipe) {}
    ~CommandStream() { (void)Close(); }
    CommandStream(const CommandStream&) = delete;
    CommandStream& operator=(const CommandStream&) = delete;
    FILE* get() const { return stream; }
    int Close()
    {
        int status = stream != nullptr ? pclose(stream) : -1;
        stream = nullptr;
        return status;
    }

private:
    FILE* stream;
};

} // namespace

int RunCommand(const std::string& command, std::vector<std::string>& lines, int* status)
{
    // The text goes to the shell: nothing but the path characters may reach
    // it, and an embedded zero would hide the rest of the text from the rule.
    if (command.empty() || command.find('\0') != std::string::npos ||
        CheckPathChars(command.c_str()) != 0) {
        return -1;
    }
    CommandStream stream(popen(command.c_str(), "r"));
    if (stream.get() == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "popen error: %d\n", error);
        return -1;
    }
    char buffer[COMMAND_LINE_SIZE];
    for (;;) {
        if (memset_s(buffer, sizeof(buffer), 0, sizeof(buffer)) != 0) {
            break;
        }
        if (fgets(buffer, sizeof(buffer), stream.get()) == nullptr) {
            break;
        }
        if (lines.size() >= COMMAND_MAX_LINES) {
            break;
        }
        char* newline = strchr(buffer, '\n');
        if (newline != nullptr) {
            *newline = '\0';
        }
        lines.emplace_back(buffer);
    }
    int exitStatus = stream.Close();
    if (status != nullptr) {
        *status = exitStatus;
    }
    return 0;
}
