// The command runner: what it keeps of a command's output, and that a
// command past its deadline, or one running when the daemon is told to stop,
// is ended with everything it started and leaves no process or descriptor.
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "osd/CommandRunner.h"
#include "osd/OsdInfoMap.h"
#include "support/HeldChildren.h"
#include "support/LogCapture.h"
#include "support/OsdTree.h"
#include "support/ProcessWatch.h"
#include "support/PvsScript.h"
#include "sys/Running.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Shell(const std::string& script, int* status = nullptr, std::vector<std::string> lines = {})
{
    int exitStatus = 0;
    EXPECT_EQ(0, RunProgram({"sh", "-c", script}, lines, status != nullptr ? status : &exitStatus)) << script;
    return lines;
}

// A report as long as LVM's for 16,384 physical volumes is read whole; a
// longer one is refused with a line, never cut short.
TEST(CommandRunner, KeepsTheWholeOutputAsLinesOrNoneOfIt)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    const std::vector<std::string> many = Shell("yes \"$(printf '%0499d' 0)\" | head -n 16384");
    EXPECT_EQ(16384u, many.size());
    EXPECT_EQ(std::string(499, '0'), many.back());
    EXPECT_EQ(Shell("printf 'a\\r\\n\\nb'"), (std::vector<std::string>{"a\r", "", "b"}));
    EXPECT_EQ(Shell("printf '%05000d' 0").front().size(), 5000u) << "a long line stays whole";
    std::vector<std::string> lines;
    EXPECT_EQ(COMMAND_TOO_LONG, RunProgram({"sh", "-c", "head -c 8388609 /dev/zero"}, lines, nullptr));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"[WARNING][sh printed more than 8388608 bytes: killed, its output not used]"});
    int status = 0;
    EXPECT_TRUE(Shell("exit 5", &status).empty());
    EXPECT_EQ(5, WEXITSTATUS(status));
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
    std::vector<std::string> lines;
    for (const std::string& command : refused) {
        EXPECT_EQ(-1, RunCommand(command, lines)) << command;
    }
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
    OsdTree tree;
    const std::string pids = tree.Path("pids");
    struct sigaction alarm = {};
    alarm.sa_handler = StopOnAlarm;
    ASSERT_EQ(0, sigaction(SIGALRM, &alarm, nullptr));
    const struct {
        const char* what;
        bool stopBefore;
        int stopAfterMs;
        int result;
    } cases[] = {
        {"past its deadline", false, 0, COMMAND_TIMED_OUT},
        {"told to stop while it runs", false, 200, COMMAND_STOPPED},
        {"told to stop before it starts", true, 0, COMMAND_STOPPED},
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
        EXPECT_EQ(c.result, RunProgram({"sh", "-c", ScriptLeavingAChild(pids)}, lines, nullptr, 600));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_EQ(descriptors, OpenDescriptors());
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "no child left to reap";
        for (pid_t pid : PidsIn(pids)) {
            EXPECT_TRUE(ProcessEnded(pid)) << pid;
        }
        EXPECT_EQ(c.stopBefore, PidsIn(pids).empty());
        EXPECT_EQ(c.result == COMMAND_TIMED_OUT, log.Count("[WARNING][sh did not end within 600 ms: killed]") == 1);
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
    EXPECT_TRUE(ProcessEnded(PidsIn(pids)[0]));
}

// A killed child that outlives the grace (as pvs does in a read of a dying
// disk) is kept, left while it still runs, and reaped at the top of the
// inventory's next pass.
TEST(CommandRunner, ReapsAChildThatOutlivedItsGraceOnTheNextPass)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    std::vector<std::string> lines;
    g_childrenHeld = true;
    EXPECT_EQ(COMMAND_TIMED_OUT, RunProgram({"sleep", "30"}, lines, nullptr, 50));
    ReapKilledCommands();
    g_childrenHeld = false;
    OsdInfoMap inventory("/quelvar-test-no-such-root/");
    (void)inventory.RefreshOsdInfo();
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "no child left to reap";
}

} // namespace
