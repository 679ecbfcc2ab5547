#include "osd/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sstream>

#include "sys/CheckedFile.h"
#include "sys/Log.h"
#include "sys/Running.h"

namespace {

// One read of the output.
constexpr size_t COMMAND_READ_SIZE = 65536;
// The longest a wait goes without looking at the stop request: a SIGTERM
// that lands between the look and the wait is honoured this much later.
constexpr int64_t COMMAND_SLICE_MS = 100;
// How long a killed child is waited for before it is left to a later reap:
// one in uninterruptible sleep (pvs reading a dying disk) dies only when
// its I/O ends.
constexpr int64_t COMMAND_KILL_GRACE_MS = 500;

// Children killed but not yet reaped; ReapKilledCommands takes them.
std::vector<pid_t> g_unreaped;

int64_t NowMs()
{
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True once `pid` has ended and is reaped (or is no child to reap), its
// wait status then in `status`.
bool ReapedNow(pid_t pid, int& status)
{
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    return ended == pid || (ended < 0 && errno == ECHILD);
}

// Waits up to `ms` without giving up on a stop request: ends early on a
// signal, as SIGTERM interrupts it.
void Nap(int64_t ms)
{
    (void)poll(nullptr, 0, static_cast<int>(ms));
}

// The started child and the read end of its output. Whatever path leaves
// the runner, the descriptor is closed and the child killed and reaped.
class Child {
public:
    Child(pid_t child, int output) : pid(child), out(output) {}
    ~Child()
    {
        CloseOutput();
        if (pid > 0) {
            Kill();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int Output() const { return out; }
    void CloseOutput()
    {
        if (out >= 0) {
            (void)close(out);
            out = -1;
        }
    }
    // True once the child has ended, its wait status then in `status`.
    bool Reaped(int& status)
    {
        if (!ReapedNow(pid, status)) {
            return false;
        }
        pid = -1;
        return true;
    }

private:
    void Kill()
    {
        // Its process group too: whatever it started goes with it.
        (void)kill(-pid, SIGKILL);
        (void)kill(pid, SIGKILL);
        int status = 0;
        for (int64_t until = NowMs() + COMMAND_KILL_GRACE_MS; !Reaped(status);) {
            if (NowMs() >= until) {
                g_unreaped.push_back(pid);
                return;
            }
            Nap(5);
        }
    }

    pid_t pid;
    int out;
};

// Appends the lines of `output` to `lines`; a last line without its
// newline counts too.
void SplitLines(const std::string& output, std::vector<std::string>& lines)
{
    for (size_t start = 0; start < output.size();) {
        const size_t end = std::min(output.find('\n', start), output.size());
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
}

// In the child: its own process group, killed with the daemon, its output
// into the pipe, then the program. Only calls that are safe after fork.
[[noreturn]] void StartChild(pid_t parent, int output, char* const* argv)
{
    (void)setpgid(0, 0);
    // Checked after the request, so a daemon that ended in between is seen.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
    // dup2 onto itself keeps close-on-exec; the descriptor must survive.
    if (output == STDOUT_FILENO ? fcntl(output, F_SETFD, 0) != 0 : dup2(output, STDOUT_FILENO) < 0) {
        _exit(127);
    }
    execvp(argv[0], argv);
    const char* reason = strerror(errno);
    const char* parts[] = {"quelvar: cannot run ", argv[0], ": ", reason, "\n"};
    for (const char* part : parts) {
        (void)!write(STDERR_FILENO, part, strlen(part));
    }
    _exit(127);
}

} // namespace

int RunProgram(const std::vector<std::string>& argv, std::vector<std::string>& lines, int* status,
               unsigned deadlineMs)
{
    if (argv.empty() || argv[0].empty() ||
        std::any_of(argv.begin(), argv.end(), [](const std::string& arg) { return arg.find('\0') != arg.npos; })) {
        return -1;
    }
    if (running == 0) {
        return COMMAND_STOPPED;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int64_t deadline = NowMs() + deadlineMs;

    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        const int error = errno;
        WriteLog(LOG_ERROR, "popen error: %d\n", error);
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        StartChild(parent, pipeEnds[1], args.data());
    }
    const int error = errno;
    (void)close(pipeEnds[1]);
    if (pid < 0) {
        (void)close(pipeEnds[0]);
        WriteLog(LOG_ERROR, "popen error: %d\n", error);
        return -1;
    }
    Child child(pid, pipeEnds[0]);

    // The output until its end, then the exit, each against the deadline
    // and the stop request.
    std::string output;
    std::vector<char> buffer(COMMAND_READ_SIZE);
    int exitStatus = 0;
    for (;;) {
        if (running == 0) {
            return COMMAND_STOPPED;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            WriteLog(LOG_WARNING, "%s did not end within %u ms: killed\n", argv[0].c_str(), deadlineMs);
            return COMMAND_TIMED_OUT;
        }
        const int64_t slice = std::min(left, COMMAND_SLICE_MS);
        if (child.Output() < 0) {
            if (child.Reaped(exitStatus)) {
                break;
            }
            Nap(std::min<int64_t>(slice, 10));
            continue;
        }
        struct pollfd ready = {child.Output(), POLLIN, 0};
        const int events = poll(&ready, 1, static_cast<int>(slice));
        if (events <= 0) {
            continue;  // the slice passed, or a signal came: look again
        }
        const ssize_t got = read(child.Output(), buffer.data(), buffer.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        // End of output or a failed read: only the exit is left.
        if (got <= 0) {
            child.CloseOutput();
            continue;
        }
        if (output.size() + static_cast<size_t>(got) > COMMAND_OUTPUT_MAX) {
            WriteLog(LOG_WARNING, "%s printed more than %zu bytes: killed, its output not used\n", argv[0].c_str(),
                     COMMAND_OUTPUT_MAX);
            return COMMAND_TOO_LONG;
        }
        output.append(buffer.data(), static_cast<size_t>(got));
    }
    SplitLines(output, lines);
    if (status != nullptr) {
        *status = exitStatus;
    }
    return 0;
}

int RunCommand(const std::string& command, std::vector<std::string>& lines, int* status)
{
    // The rule that kept device names away from the shell still says what a
    // command may hold; an embedded zero would hide the rest from it.
    if (command.empty() || command.find('\0') != std::string::npos || CheckPathChars(command.c_str()) != 0) {
        return -1;
    }
    std::vector<std::string> argv;
    std::istringstream words(command);
    for (std::string word; words >> word;) {
        argv.push_back(word);
    }
    return RunProgram(argv, lines, status);
}

void ReapKilledCommands()
{
    int status = 0;
    g_unreaped.erase(std::remove_if(g_unreaped.begin(), g_unreaped.end(),
                                    [&status](pid_t pid) { return ReapedNow(pid, status); }),
                     g_unreaped.end());
}
