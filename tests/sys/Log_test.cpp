#include "sys/Log.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <regex>

#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "sys/LogText.h"

namespace {

using testing::ElementsAre;

struct stat Stat(const char* path)
{
    struct stat st {};
    EXPECT_EQ(stat(path, &st), 0) << path;
    return st;
}

void MakeFile(const char* path, off_t size)
{
    std::ofstream(path).close();
    ASSERT_EQ(truncate(path, size), 0);
}

std::string Stdout(const std::function<void()>& action)
{
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class LogTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        FakePrivilege::Reset();
        ASSERT_TRUE(log.ok());
    }
    const std::string pid = std::to_string(getpid());
    LogCapture log;
};

TEST_F(LogTest, FormatsLevelsStripsAndLimitsLines)
{
    WriteLog(LOG_INFO, "quelvar start\n");
    WriteLog(LOG_DEBUG, "dropped");
    WriteLog(-1, "dropped");
    WriteLog(LOG_WARNING, "pair\r\n\r\n");
    WriteLog(LOG_ERROR, "inner\nline\n");  // one record to a line, whoever wrote the text
    WriteLog(4, "four");
    std::regex format(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[process\()" + pid + R"(\)\]\[INFO\]\[quelvar start\])");
    EXPECT_TRUE(std::regex_match(log.Lines().at(0), format)) << log.Lines()[0];
    EXPECT_THAT(log.Messages(), ElementsAre("[INFO][quelvar start]", "[WARNING][pair]",
                                            "[ERROR][inner\\nline]", "[DEBUG][four]"));
    EXPECT_EQ(Stat(LOG_FILE).st_mode & 07777, 0640u);

    // A composed line of 1023 characters is written whole, plus "]".
    std::string fits(LOG_LINE_MAX - ("[2026-01-01 00:00:00][process(" + pid + ")][INFO][").size(), 'a');
    WriteLog(LOG_INFO, "%s", fits.c_str());
    EXPECT_EQ(log.Lines().back().size(), LOG_LINE_MAX + 1);
    EXPECT_EQ(Stdout([&] { WriteLog(LOG_INFO, "%s", (fits + "b").c_str()); }), "The log info is invalid \n");
    EXPECT_EQ(log.Lines().size(), 5u);
    // A trace is never written, yet measured against the limit as a written
    // line is, whether or not a line was written before it.
    std::string trace(LOG_LINE_MAX - ("[2026-01-01 00:00:00][process(" + pid + ")][DEBUG][").size(), 'a');
    EXPECT_EQ(Stdout([&] { WriteLog(LOG_DEBUG, "%s", trace.c_str()); }), "");
    EXPECT_EQ(Stdout([&] { WriteLog(LOG_DEBUG, "%s", (trace + "b").c_str()); }), "The log info is invalid \n");

    g_privilege.localtimeFails = true;
    WriteLog(LOG_INFO, "no time\n");
    EXPECT_EQ(log.Lines().back(), "[unknown system time ] [process(" + pid + ")][ERROR]no time]");
}

// Unchecked on purpose: the cases below hand it formats the daemon never uses.
int Format(char* dest, size_t destMax, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int result = FormatLogText(dest, destMax, count, format, args);
#pragma GCC diagnostic pop
    va_end(args);
    return result;
}

// The format is the daemon's own and compiler-checked, yet a count stored
// through an argument is refused outright.
TEST(LogText, RefusesToStoreACount)
{
    const struct {
        const char* format;
        size_t count;
        int result;
        const char* text;
    } cases[] = {
        {"%s|%hhd|%lu|%llx|%zd", 15, 15, "a\\x1b|-1|2|ff|3"},
        {"%s|%hhd|%lu|%llx|%zd", 14, -1, ""},  // one short
        {"%n", 63, -1, ""},
        {"%s|%hhd%hhn", 63, -1, ""},
        {"100%%n", 63, 5, "100%n"},
    };
    for (const auto& c : cases) {
        char dest[64] = "dirty";
        long long hex = 255;
        int result = Format(dest, sizeof(dest), c.count, c.format, "a\x1b", 255, 2ul, hex, ssize_t{3});
        EXPECT_EQ(c.result, result) << c.format;
        EXPECT_STREQ(c.text, dest) << c.format;
    }
}

// Text from outside the daemon (a directory name, a link text, command
// output) never starts a record of its own; the daemon's formats stand.
TEST_F(LogTest, EscapesControlCharactersOfOutsideText)
{
    const std::string forged = "ceph-0\n[2026-01-01 00:00:00][process(1)][INFO][forged";
    WriteLog(LOG_ERROR, "readlink %s error:%d %s\n", forged.c_str(), 22, "Invalid argument");
    WriteLog(LOG_INFO, "[%s][%-6s][%5s][%.3s][%c]%s\n", "\r\t\x1b\x7f\x01", "a\n", "\n", "x\ny", '\n',
             "\r\n");
    WriteLog(LOG_INFO, "%d|%5u|%-4x|%zu|%ld|%03d|%.2f|%%|%*d\n", -7, 42u, 255u, size_t{9}, -1L, 5, 1.5, 3, 1);
    EXPECT_THAT(log.Messages(),
                ElementsAre("[ERROR][readlink ceph-0\\n[2026-01-01 00:00:00][process(1)][INFO][forged error:22 "
                            "Invalid argument]",
                            "[INFO][[\\r\\t\\x1b\\x7f\\x01][a\\n    ][    \\n][x\\ny][\\n]\\r\\n]",
                            "[INFO][-7|   42|ff  |9|-1|005|1.50|%|  1]"));

    // The limit holds for the escaped text: one control character more
    // than fits is three characters more.
    std::string fits(LOG_LINE_MAX - ("[2026-01-01 00:00:00][process(" + pid + ")][INFO][").size() - 2, 'a');
    WriteLog(LOG_INFO, "%s", (fits + "\n").c_str());
    EXPECT_EQ(log.Lines().back().size(), LOG_LINE_MAX + 1);
    EXPECT_EQ(Stdout([&] { WriteLog(LOG_INFO, "%s", (fits + "\x01").c_str()); }), "The log info is invalid \n");
}

TEST_F(LogTest, RotatesOnlyAboveTheLimit)
{
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE);
    WriteLog(LOG_INFO, "appended");
    EXPECT_GT(Stat(LOG_FILE).st_size, LOG_ROTATE_SIZE);
    EXPECT_EQ(access(LOG_FILE_OLD, F_OK), -1);

    MakeFile(LOG_FILE_OLD, 7);
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE + 1);
    WriteLog(LOG_INFO, "first of the new log");
    EXPECT_EQ(Stat(LOG_FILE_OLD).st_size, LOG_ROTATE_SIZE + 1) << "the earlier generation is replaced";
    EXPECT_EQ(Stat(LOG_FILE_OLD).st_mode & 07777, 0440u);
    EXPECT_THAT(log.Messages(), ElementsAre("[INFO][first of the new log]"));
    EXPECT_EQ(Stat(LOG_FILE).st_mode & 07777, 0640u);

    // An old generation that cannot be removed costs the line.
    ASSERT_EQ(unlink(LOG_FILE_OLD), 0);
    ASSERT_EQ(mkdir(LOG_FILE_OLD, 0755), 0);
    ASSERT_EQ(mkdir((std::string(LOG_FILE_OLD) + "/busy").c_str(), 0755), 0);
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE + 1);
    EXPECT_EQ(Stdout([] { WriteLog(LOG_INFO, "lost"); }), "Open log file failed \n");
    EXPECT_EQ(Stat(LOG_FILE).st_size, LOG_ROTATE_SIZE + 1);
    EXPECT_EQ(Stat(LOG_FILE).st_mode & 07777, 0440u) << "closed read-only before the failed rotation";
}

TEST_F(LogTest, PrepareLogDirMakesOrHandsOverTheDirectory)
{
    ASSERT_EQ(rmdir(LOG_DIR), 0);
    EXPECT_EQ(PrepareLogDir(), 0);
    EXPECT_EQ(Stat(LOG_DIR).st_mode & 07777, 0750u);
    EXPECT_EQ(std::make_pair(Stat(LOG_DIR).st_uid, Stat(LOG_DIR).st_gid), std::make_pair(uid_t{0}, getgid()));
    EXPECT_TRUE(g_privilege.calls.empty()) << "user 0 needs no privilege calls";

    // An existing directory and its logs go to the effective user.
    std::ofstream(LOG_FILE).close();
    std::ofstream(LOG_FILE_OLD).close();
    g_privilege.euid = 1234;
    EXPECT_EQ(PrepareLogDir(), 0);
    for (const char* path : {LOG_DIR, LOG_FILE, LOG_FILE_OLD}) {
        EXPECT_EQ(std::make_pair(Stat(path).st_uid, Stat(path).st_gid), std::make_pair(uid_t{1234}, getgid()));
    }
    EXPECT_THAT(g_privilege.calls, ElementsAre("setuid(0)", "seteuid(1234)"));

    // A link planted by anyone running as that user leads neither the
    // hand-over nor a line (written as root in a privileged step) elsewhere.
    const std::string rootFile = "/var/log/root-owned";
    std::ofstream(rootFile) << "root's\n";
    ASSERT_EQ(unlink(LOG_FILE), 0);
    ASSERT_EQ(symlink(rootFile.c_str(), LOG_FILE), 0);
    EXPECT_EQ(PrepareLogDir(), 0);
    EXPECT_EQ(Stat(rootFile.c_str()).st_uid, uid_t{0});
    g_privilege.euid = 0;
    EXPECT_EQ(Stdout([] { WriteLog(LOG_INFO, "privileged step"); }), "Open log file failed \n");
    EXPECT_EQ(Stat(rootFile.c_str()).st_size, 7);
    EXPECT_EQ(Stat(rootFile.c_str()).st_mode & 07777, 0644u);
}

TEST_F(LogTest, PrepareLogDirFailsOnStandardOutput)
{
    ASSERT_EQ(rmdir(LOG_DIR), 0);
    g_privilege.euid = 1234;
    g_privilege.setuidFails = true;
    EXPECT_EQ(Stdout([] { EXPECT_EQ(PrepareLogDir(), -1); }), "setuid(0) failed: Operation not permitted\n");

    FakePrivilege::Reset();
    ASSERT_EQ(mount(nullptr, "/var/log", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(Stdout([] { EXPECT_EQ(PrepareLogDir(), -1); }), "mkdir error:Read-only file system\n");

    g_privilege.euid = 1234;
    g_privilege.seteuidFails = true;
    ASSERT_EQ(mount(nullptr, "/var/log", nullptr, MS_REMOUNT, nullptr), 0);
    EXPECT_EQ(Stdout([] { EXPECT_EQ(PrepareLogDir(), -1) << "-1 here, not the privilege code"; }),
              "seteuid(1234) failed: Operation not permitted \n");
}

} // namespace
