#include "sys/LogGate.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/LogCapture.h"
#include "sys/Log.h"

namespace {

// One pass at `seconds` (-1: the daemon stops). Actions: "+s" tries subject
// s, "~s" meets it, "s>T" logs T as a WARNING of s, "s!T" as an ERROR.
struct Pass {
    long long seconds;
    const char* actions;
};

// The messages with the time a condition began read as "since T".
std::vector<std::string> Normalized(std::vector<std::string> messages)
{
    for (std::string& message : messages) {
        message = std::regex_replace(message, std::regex("since [0-9-]{10} [0-9:]{8}"), "since T");
    }
    return messages;
}

// The messages of each pass in turn, each pass's followed by "|".
std::vector<std::string> RunPasses(const std::vector<Pass>& passes)
{
    LogCapture log;
    LogGate gate;
    std::vector<std::string> lines;
    for (const Pass& pass : passes) {
        log.Clear();
        if (pass.seconds >= 0) {
            gate.BeginPass(pass.seconds);
        }
        std::istringstream actions(pass.actions);
        for (std::string action; actions >> action;) {
            const size_t mark = action.find_first_of(">!");
            if (mark == std::string::npos) {
                (gate.*(action[0] == '+' ? &LogGate::Try : &LogGate::Meet))(action.substr(1));
            } else {
                const int level = action[mark] == '!' ? LOG_ERROR : LOG_WARNING;
                gate.Log(action.substr(0, mark), level, action.substr(mark + 1));
            }
        }
        pass.seconds >= 0 ? gate.EndPass() : gate.EndAll();
        for (const std::string& message : Normalized(log.Messages())) {
            lines.push_back(message);
        }
        lines.push_back("|");
    }
    return lines;
}

TEST(LogGate, SaysAConditionOnceCountsItsRepeatsAndSaysItsEnd)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const std::string a = "[WARNING][A]", b = "[WARNING][B]";
    const struct {
        const char* name;
        std::vector<Pass> passes;
        std::vector<std::string> expected;
    } rows[] = {
        {"its first pass writes all, the next count; another message takes its place: it ends",
         {{0, "+d d>A d>A"}, {5, "+d d>A d>A"}, {10, "+d d>B"}},
         {a, a, "|", "|", b, "[INFO][d: ended after 2 repeats since T: A]", "|"}},
        {"met and not tried is not ended, a try after the walk is a try, a subject not met is gone",
         {{0, "+d d>A"}, {5, "~d"}, {10, "~d +d d>A"}, {15, ""}},
         {a, "|", "|", "|", "[INFO][d: ended after 1 repeats since T: A]", "|"}},
        {"a text of each device is a condition, its level part of it; alike, they share a line, in the "
         "order they began; a stop ends all",
         {{0, "+x +y +z y>A x>A z>A x!A"}, {5, "+x +y +z y>A x>A x!A"}, {10, "+x +y +z x!A"}, {-1, ""}},
         {a, a, a, "[ERROR][A]", "|", "[INFO][z: ended after 0 repeats since T: A]", "|",
          "[INFO][y, x: ended after 1 repeats since T: A]", "|",
          "[INFO][x: ended after 2 repeats since T: A]", "|"}},
        {"before the first pass and after the stop every line is written",
         {{-1, "d>A"}, {0, "+d d>A"}, {-1, ""}, {-1, "d>A d>A"}},
         {a, "|", a, "|", "[INFO][d: ended after 0 repeats since T: A]", "|", a, a, "|"}},
        {"recalled hourly at its level while it repeats, not while it is not tried",
         {{0, "+d d!A"}, {1800, "+d d!A"}, {3600, "+d d!A"}, {7200, "~d"}, {10800, "+d d!A"}},
         {"[ERROR][A]", "|", "|", "[ERROR][d: still failing after 2 repeats since T: A]", "|", "|",
          "[ERROR][d: still failing after 3 repeats since T: A]", "|"}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RunPasses(row.passes), row.expected) << row.name;
    }
}

TEST(LogGate, ConditionsTakeTheInnermostSubjectAndTheWritersText)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    for (int pass = -1; pass < 2; ++pass) {  // first with no pass open: as WriteLog writes
        if (pass >= 0) {
            ProcessLogGate().BeginPass(pass);
        }
        LogSubject device("bcache0");
        LogCondition(LOG_WARNING, "ioctl error:%d %s\n", 22, "Invalid argument");
        {
            LogSubject disk("sdb");
            LogCondition(LOG_ERROR, "open %s failed\n", "/dev/s\ndb");
        }
        LogCondition(LOG_WARNING, "after %s\n", "sdb");
        ProcessLogGate().EndPass();
    }
    ProcessLogGate().EndAll();
    const std::string ioctl = "[WARNING][ioctl error:22 Invalid argument]", after = "[WARNING][after sdb]";
    const std::string open = "[ERROR][open /dev/s\\ndb failed]";
    EXPECT_EQ(Normalized(log.Messages()),
              (std::vector<std::string>{
                  ioctl, open, after, ioctl, open, after,
                  "[INFO][bcache0: ended after 1 repeats since T: ioctl error:22 Invalid argument]",
                  "[INFO][sdb: ended after 1 repeats since T: open /dev/s\\ndb failed]",
                  "[INFO][bcache0: ended after 1 repeats since T: after sdb]"}));
}

} // namespace
