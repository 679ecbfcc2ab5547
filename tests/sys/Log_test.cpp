#include "sys/Log.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "support/FakePrivilege.h"
#include "support/LogFile.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class LogTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        FakePrivilege::Reset();
        log = std::make_unique<ScratchLog>();
        ASSERT_TRUE(log->ok());
    }

    static std::string Pid() { return std::to_string(getpid()); }

    // The prefix of a line logged at `tag`, as the next line will have it.
    size_t PrefixLength(const std::string& tag)
    {
        std::string prefix = "[2026-01-01 00:00:00][process(" + Pid() + ")][" + tag + "][";
        return prefix.size();
    }

    static void MakeFile(const char* path, off_t size)
    {
        std::ofstream(path).close();
        ASSERT_EQ(truncate(path, size), 0);
    }

    static off_t SizeOf(const char* path)
    {
        struct stat st {};
        return stat(path, &st) == 0 ? st.st_size : -1;
    }

    static mode_t ModeOf(const char* path)
    {
        struct stat st {};
        return stat(path, &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    std::unique_ptr<ScratchLog> log;
};

TEST_F(LogTest, WritesTheStartLineInItsFinalFormat)
{
    WriteLog(LOG_INFO, "quelvar start\n");
    ASSERT_EQ(log->Lines().size(), 1u);
    std::regex format(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[process\()" + Pid() + R"(\)\]\[INFO\]\[quelvar start\])");
    EXPECT_TRUE(std::regex_match(log->Lines()[0], format)) << log->Lines()[0];
    EXPECT_EQ(ModeOf(LOG_FILE), 0640u);
}

TEST_F(LogTest, TagsLevelsAndDropsDebugAndBelow)
{
    WriteLog(LOG_DEBUG, "zero");
    WriteLog(-1, "negative");
    WriteLog(LOG_INFO, "one");
    WriteLog(LOG_WARNING, "two");
    WriteLog(LOG_ERROR, "three");
    WriteLog(4, "four");
    EXPECT_THAT(log->Messages(), ElementsAre("[INFO][one]", "[WARNING][two]", "[ERROR][three]", "[DEBUG][four]"));
}

TEST_F(LogTest, StripsOnlyTrailingLineEnds)
{
    WriteLog(LOG_INFO, "\n");
    WriteLog(LOG_INFO, "pair\r\n\r\n");
    WriteLog(LOG_INFO, "inner\nline\n");
    std::vector<std::string> lines = log->Lines();
    ASSERT_EQ(lines.size(), 4u) << "the inner newline stays in the file";
    EXPECT_THAT(lines[0], testing::EndsWith("[INFO][]"));
    EXPECT_THAT(lines[1], testing::EndsWith("[INFO][pair]"));
    EXPECT_THAT(lines[2], testing::EndsWith("[INFO][inner"));
    EXPECT_EQ(lines[3], "line]");
}

TEST_F(LogTest, FallsBackWhenLocalTimeIsUnavailable)
{
    g_privilege.localtimeFails = true;
    WriteLog(LOG_INFO, "quelvar start\n");
    EXPECT_THAT(log->Lines(), ElementsAre("[unknown system time ] [process(" + Pid() + ")][ERROR]quelvar start]"));
}

TEST_F(LogTest, WritesA1023CharacterLineWholeAndDropsA1024CharacterOne)
{
    std::string fits(LOG_LINE_MAX - PrefixLength("INFO"), 'a');
    WriteLog(LOG_INFO, "%s", fits.c_str());
    ASSERT_EQ(log->Lines().size(), 1u);
    EXPECT_EQ(log->Lines()[0].size(), LOG_LINE_MAX + 1) << "the composed 1023 characters plus \"]\"";

    testing::internal::CaptureStdout();
    WriteLog(LOG_INFO, "%s", (fits + "b").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "The log info is invalid \n");
    EXPECT_EQ(log->Lines().size(), 1u);
}

// A trace is never written, but one that would not fit is still reported:
// its prefix counts as a written line's does, first line or not.
TEST_F(LogTest, MeasuresATraceAgainstTheLineLimitAsAWrittenLine)
{
    std::string fits(LOG_LINE_MAX - PrefixLength("DEBUG"), 'a');
    for (int round = 0; round < 2; ++round) {
        testing::internal::CaptureStdout();
        WriteLog(LOG_DEBUG, "%s", fits.c_str());
        WriteLog(LOG_DEBUG, "%s", (fits + "b").c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "The log info is invalid \n") << "round " << round;
        WriteLog(LOG_INFO, "written");
    }
    EXPECT_EQ(log->Lines().size(), 2u);
}

TEST_F(LogTest, ReportsANullFormatOnStandardOutput)
{
    const char* volatile noFormat = nullptr;
    testing::internal::CaptureStdout();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    WriteLog(LOG_INFO, noFormat);
#pragma GCC diagnostic pop
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fmt is null\n");
    EXPECT_THAT(log->Lines(), IsEmpty());
}

TEST_F(LogTest, RotatesOnlyAboveTheLimit)
{
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE);
    WriteLog(LOG_INFO, "appended");
    EXPECT_GT(SizeOf(LOG_FILE), LOG_ROTATE_SIZE);
    EXPECT_EQ(access(LOG_FILE_OLD, F_OK), -1);

    MakeFile(LOG_FILE_OLD, 7);
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE + 1);
    WriteLog(LOG_INFO, "first of the new log");
    EXPECT_EQ(SizeOf(LOG_FILE_OLD), LOG_ROTATE_SIZE + 1) << "the earlier generation is replaced";
    EXPECT_EQ(ModeOf(LOG_FILE_OLD), 0440u);
    EXPECT_THAT(log->Messages(), ElementsAre("[INFO][first of the new log]"));
    EXPECT_EQ(ModeOf(LOG_FILE), 0640u);
}

TEST_F(LogTest, LosesTheLineWhenTheOldGenerationCannotBeRemoved)
{
    ASSERT_EQ(mkdir(LOG_FILE_OLD, 0755), 0);
    ASSERT_EQ(mkdir((std::string(LOG_FILE_OLD) + "/busy").c_str(), 0755), 0);
    MakeFile(LOG_FILE, LOG_ROTATE_SIZE + 1);

    testing::internal::CaptureStdout();
    WriteLog(LOG_INFO, "lost");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Open log file failed \n");
    EXPECT_EQ(SizeOf(LOG_FILE), LOG_ROTATE_SIZE + 1);
    EXPECT_EQ(ModeOf(LOG_FILE), 0440u) << "closed read-only before the failed rotation";
}

class PrepareLogDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        FakePrivilege::Reset();
        mount = std::make_unique<ScratchMount>("/var/log");
        ASSERT_TRUE(mount->ok());
    }

    static std::pair<uid_t, gid_t> OwnerOf(const char* path)
    {
        struct stat st {};
        EXPECT_EQ(stat(path, &st), 0) << path;
        return {st.st_uid, st.st_gid};
    }

    std::unique_ptr<ScratchMount> mount;
};

TEST_F(PrepareLogDirTest, CreatesTheDirectoryForUserZeroWithoutPrivilegeCalls)
{
    EXPECT_EQ(PrepareLogDir(), 0);
    struct stat st {};
    ASSERT_EQ(stat(LOG_DIR, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(OwnerOf(LOG_DIR), std::make_pair(uid_t{0}, getgid()));
    EXPECT_THAT(g_privilege.calls, IsEmpty());
}

TEST_F(PrepareLogDirTest, GivesAnExistingDirectoryAndItsLogsToTheEffectiveUser)
{
    ASSERT_EQ(mkdir(LOG_DIR, 0700), 0);
    std::ofstream(LOG_FILE).close();
    std::ofstream(LOG_FILE_OLD).close();
    g_privilege.euid = 1234;

    EXPECT_EQ(PrepareLogDir(), 0);
    for (const char* path : {LOG_DIR, LOG_FILE, LOG_FILE_OLD}) {
        EXPECT_EQ(OwnerOf(path), std::make_pair(uid_t{1234}, getgid())) << path;
    }
    EXPECT_THAT(g_privilege.calls, ElementsAre("setuid(0)", "seteuid(1234)"));
}

TEST_F(PrepareLogDirTest, FailsOnStandardOutput)
{
    g_privilege.euid = 1234;
    g_privilege.setuidFails = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(PrepareLogDir(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "setuid(0) failed: Operation not permitted\n");

    FakePrivilege::Reset();
    ASSERT_EQ(::mount(nullptr, "/var/log", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(PrepareLogDir(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mkdir error:Read-only file system\n");

    g_privilege.euid = 1234;
    g_privilege.seteuidFails = true;
    ASSERT_EQ(::mount(nullptr, "/var/log", nullptr, MS_REMOUNT, nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(PrepareLogDir(), -1) << "a failed drop is -1 here, not the privilege code";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "seteuid(1234) failed: Operation not permitted \n");
}

} // namespace
