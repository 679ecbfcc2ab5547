#include "sys/CheckedFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "support/ScratchFiles.h"
#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

TEST(CheckPathChars, AdmitsLettersDigitsSpaceDashSlashUnderscoreOnly)
{
    const struct {
        const char* text;
        int result;
    } rows[] = {
        {"/sys/block/sda/queue/write_cache", 0},
        {"AZaz09 -/_", 0},
        {"", 0},
        {"/sys/block/../sda", -1},
        {"/tmp/file.txt", -1},
        {"/sys/block/sd*", -1},
        {"/dev/disk/by-id/a:b", -1},
        {"/a\"b", -1},
        {"/a'b", -1},
        {"pvs;rm", -1},
        {"pvs|sh", -1},
        {"$(id)", -1},
        {"a\tb", -1},
        {"a\nb", -1},
        {"caf\xc3\xa9", -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CheckPathChars(row.text), row.result) << '"' << row.text << '"';
    }
}

// Files live under a scratch /var/log, whose paths pass the character rule.
class CheckedFile : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(log.ok());
        FakePrivilege::Reset();
        MakeFile("/var/log/files/attr", "abcdef");
        MakeFile("/var/log/files/empty", "");
        MakeFile("/var/log/files/a.b", "dotted");
        MakeFile("/var/log/files/dir/x", "");
        ASSERT_EQ(symlink("/var/log/files/dir", "/var/log/files/todir"), 0);
        ASSERT_EQ(symlink("/var/log/files/attr", "/var/log/files/toattr"), 0);
    }

    ScratchLog log;
};

TEST_F(CheckedFile, NullArgumentsAreRefused)
{
    char buffer[4] = "";
    const char* path = "/var/log/files/attr";
    char expected[2][128];
    (void)snprintf(expected[0], sizeof(expected[0]), "[ERROR][point error, filePath:%p, buffer:%p]",
                   static_cast<const void*>(nullptr), static_cast<void*>(buffer));
    (void)snprintf(expected[1], sizeof(expected[1]), "[ERROR][point error, filePath:%p, buffer:%p]",
                   static_cast<const void*>(path), static_cast<void*>(nullptr));
    EXPECT_EQ(SafeReadWriteFile(nullptr, buffer, 1, 0), 1);
    EXPECT_EQ(SafeReadWriteFile(path, nullptr, 1, 1), 1);
    EXPECT_THAT(log.Messages(), ElementsAre(expected[0], expected[1]));
    EXPECT_EQ(ReadFile(path), "abcdef");
}

TEST_F(CheckedFile, OneTransferOnAnExistingFile)
{
    const struct {
        const char* path;
        int write;
        int size;
        int result;
        const char* buffer;  // the caller's buffer afterwards (prefilled with Z)
        const char* file;    // the file's text afterwards
        std::vector<std::string> messages;
    } rows[] = {
        // reads: one read, short or empty reads succeed, the rest untouched
        {"/var/log/files/attr", 0, 4, 0, "abcdZZZZ", "abcdef", {}},
        {"/var/log/files/attr", 0, 8, 0, "abcdefZZ", "abcdef", {}},
        {"/var/log/files/empty", 0, 8, 0, "ZZZZZZZZ", "", {}},
        {"/var/log/files/toattr", 0, 2, 0, "abZZZZZZ", "abcdef", {}},
        // writes: exactly the bytes given, over what is there, never creating
        {"/var/log/files/empty", 1, 1, 0, "1ZZZZZZZ", "1", {}},
        {"/var/log/files/attr", 1, 1, 0, "1ZZZZZZZ", "1bcdef", {}},
        {"/var/log/files/missing", 1, 1, 1, "1ZZZZZZZ", nullptr, {"[ERROR][realpath failed]"}},
        {"/var/log/files/missing", 0, 1, 1, "ZZZZZZZZ", nullptr, {"[ERROR][realpath failed]"}},
        {"", 0, 1, 1, "ZZZZZZZZ", nullptr, {"[ERROR][realpath failed]"}},
        // the resolved path is the one named when the open fails
        {"/var/log/files/todir", 1, 1, 1, "1ZZZZZZZ", nullptr, {"[ERROR][open /var/log/files/dir failed]"}},
        {"/var/log/files/dir", 0, 8, 1, "ZZZZZZZZ", nullptr, {"[ERROR][file operation failed -1]"}},
        // the guard: nothing is opened
        {"/var/log/files/a.b", 0, 8, 1, "ZZZZZZZZ", "dotted",
         {"[WARNING][reject dangerous file path:\"/var/log/files/a.b\" ]"}},
        {"/var/log/files/../files/attr", 1, 1, 1, "1ZZZZZZZ", nullptr,
         {"[WARNING][reject dangerous file path:\"/var/log/files/../files/attr\" ]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.path) + (row.write != 0 ? " write" : " read"));
        char buffer[9] = "ZZZZZZZZ";
        if (row.write != 0) {
            buffer[0] = '1';
        }
        const size_t before = log.Messages().size();
        EXPECT_EQ(SafeReadWriteFile(row.path, buffer, row.size, row.write), row.result);
        EXPECT_STREQ(buffer, row.buffer);
        if (row.file != nullptr) {
            EXPECT_EQ(ReadFile(row.path), row.file);
        }
        const auto messages = log.Messages();
        EXPECT_THAT(std::vector<std::string>(messages.begin() + static_cast<long>(before), messages.end()),
                    ElementsAreArray(row.messages));
    }
    struct stat info;
    EXPECT_NE(stat("/var/log/files/missing", &info), 0) << "no file is ever created";
    EXPECT_EQ(ReadFile("/var/log/files/attr"), "1bcdef") << "the rejected write left it alone";
}

TEST_F(CheckedFile, UnguardedStepDoesNotApplyTheCharacterRule)
{
    char buffer[8] = "";
    EXPECT_EQ(ReadWriteFile("/var/log/files/a.b", buffer, 7, 0), 0);
    EXPECT_STREQ(buffer, "dotted");
}

} // namespace
