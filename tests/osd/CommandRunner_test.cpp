// The command runner: what it keeps of a command's output, and that a
// command past its deadline, or one running when the daemon is told to stop,
// is ended with everything it started and leaves no process or descriptor.
#include <dirent.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "osd/CommandRunner.h"
#include "support/LogCapture.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"
#include "sys/Running.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Shell(const std::string& script, int* status = nullptr, std::vector<std::string> lines = {})
{
    int exitStatus = 0;
    EXPECT_EQ(0, RunProgram({"sh", "-c", script}, lines, &exitStatus)) << script;
    if (status != nullptr) {
        *status = exitStatus;
    }
    return lines;
}

size_t OpenDescriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    (void)closedir(dir);
    return count;
}

// Gone, or a zombie that only waits for its new parent to reap it.
bool Ended(pid_t pid)
{
    for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string skip, state;
        if (!(stat >> skip >> skip >> state) || state == "Z") {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<pid_t> PidsIn(const std::string& file)
{
    std::vector<pid_t> pids;
    std::ifstream in(file);
    for (pid_t pid = 0; in >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

TEST(CommandRunner, KeepsTheOutputAsLinesAsFgetsWouldReadThem)
{
    const std::vector<std::string> many = Shell("seq 300");
    ASSERT_EQ(257u, many.size());
    EXPECT_EQ("257", many.back());
    EXPECT_EQ(257u, Shell("seq 10", nullptr, std::vector<std::string>(250)).size()) << "counting those there";
    EXPECT_EQ(Shell("printf 'a\\r\\n\\nb'"), (std::vector<std::string>{"a\r", "", "b"}));
    EXPECT_EQ(Shell("printf '%05000d' 0 | tr 0 x"),
              (std::vector<std::string>{std::string(4095, 'x'), std::string(905, 'x')}));
    int status = 0;
    EXPECT_TRUE(Shell("exit 5", &status).empty());
    EXPECT_EQ(5, WEXITSTATUS(status));
    std::vector<std::string> lines;
    EXPECT_EQ(0, RunProgram({"quelvar-no-such-program"}, lines, &status));
    EXPECT_EQ(127, WEXITSTATUS(status)) << "not found is the child's failure, not the runner's";
}

TEST(CommandRunner, RefusesShellSyntaxWithoutStartingIt)
{
    PvsScript pvs;
    const std::string refused[] = {
        "", "pvs x;pvs", "pvs x|pvs", "pvs $HOME", "pvs x.y", "pvs\tx", "pvs 'x'", "pvs `pvs`",
        "pvs x&pvs", "pvs >x", std::string("pvs x\0;pvs", 10), "pvs x\npvs",
    };
    for (const std::string& command : refused) {
        std::vector<std::string> lines;
        EXPECT_EQ(-1, RunCommand(command, lines)) << command;
    }
    EXPECT_TRUE(pvs.Calls().empty());
    std::vector<std::string> lines;
    EXPECT_EQ(0, RunCommand("pvs  -o  x", lines));
    EXPECT_EQ(pvs.Calls(), std::vector<std::string>{"-o x"}) << "words, not a shell's text";
}

extern "C" void StopOnAlarm(int /*signal*/)
{
    running = 0;
}

TEST(CommandRunner, EndsWhatItStartedOnADeadlineOrAStop)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    ASSERT_TRUE(log.ok());
    OsdTree tree;
    const std::string pids = tree.Path("pids");
    // The command and what it started in the background, both for good.
    const std::string script = "echo $$ > " + pids + "; sleep 30 & echo $! >> " + pids + "; wait";
    struct sigaction alarm = {};
    alarm.sa_handler = StopOnAlarm;
    ASSERT_EQ(0, sigaction(SIGALRM, &alarm, nullptr));
    const struct {
        const char* what;
        bool stopBefore;
        int stopAfterMs;
        int result;
        size_t warnings;
    } cases[] = {
        {"past its deadline", false, 0, COMMAND_TIMED_OUT, 1},
        {"told to stop while it runs", false, 200, COMMAND_STOPPED, 0},
        {"told to stop before it starts", true, 0, COMMAND_STOPPED, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tree.Remove("pids");
        log.Clear();
        running = c.stopBefore ? 0 : 1;
        const struct itimerval timer = {{0, 0}, {0, c.stopAfterMs * 1000}};
        ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
        const size_t descriptors = OpenDescriptors();
        const auto start = Clock::now();
        std::vector<std::string> lines;
        int status = 0;
        EXPECT_EQ(c.result, RunProgram({"sh", "-c", script}, lines, &status, 600));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_EQ(descriptors, OpenDescriptors());
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "no child left to reap";
        for (pid_t pid : PidsIn(pids)) {
            EXPECT_TRUE(Ended(pid)) << pid;
        }
        EXPECT_EQ(c.stopBefore, PidsIn(pids).empty());
        EXPECT_EQ(c.warnings, log.Count("[WARNING][sh did not end within 600 ms: killed]"));
    }
    running = 1;
}

TEST(CommandRunner, TheCommandDoesNotOutliveTheDaemon)
{
    OsdTree tree;
    const std::string pids = tree.Path("pids");
    const pid_t daemon = fork();
    if (daemon == 0) {
        std::vector<std::string> lines;
        _exit(RunProgram({"sh", "-c", "echo $$ > " + pids + "; exec sleep 30"}, lines, nullptr, 30000));
    }
    for (auto until = Clock::now() + std::chrono::seconds(5); PidsIn(pids).empty() && Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(1u, PidsIn(pids).size());
    ASSERT_EQ(0, kill(daemon, SIGKILL));
    ASSERT_EQ(daemon, waitpid(daemon, nullptr, 0));
    EXPECT_TRUE(Ended(PidsIn(pids)[0]));
}

} // namespace
