#include "sys/CheckedFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/ScratchFiles.h"
#include "support/PrivateMounts.h"

using testing::ElementsAreArray;

namespace {

TEST(CheckPathChars, AdmitsLettersDigitsSpaceDashSlashUnderscoreOnly)
{
    for (const char* text : {"/sys/block/sda/queue/write_cache", "AZaz09 -/_", ""}) {
        EXPECT_EQ(CheckPathChars(text), 0) << text;
    }
    for (const char* text : {"/sys/block/../sda", "/sys/block/sd*", "a:b", "/a\"b", "/a'b", "pvs;rm",
                             "pvs|sh", "$(id)", "a\tb", "a\nb", "caf\xc3\xa9"}) {
        EXPECT_EQ(CheckPathChars(text), -1) << text;
    }
}

// Files live under a scratch /var/log, whose paths pass the character rule.
class CheckedFile : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(log.ok());
        MakeFile("/var/log/files/attr", "abcdef");
        MakeFile("/var/log/files/a.b", "dotted");
        MakeFile("/var/log/files/dir/x", "");
        ASSERT_EQ(symlink("/var/log/files/dir", "/var/log/files/todir"), 0);
    }

    LogCapture log;
};

TEST_F(CheckedFile, OneTransferOnAnExistingFile)
{
    const struct {
        const char* path;
        int write;  // reads take 8 bytes, writes give "1"
        int result;
        const char* buffer;  // the caller's buffer afterwards
        std::vector<std::string> messages;
    } rows[] = {
        {"/var/log/files/attr", 0, 0, "abcdefZZ", {}},  // one read, a short one succeeding
        {"/var/log/files/attr", 1, 0, "1ZZZZZZZ", {}},  // over what is there
        {"/var/log/files/missing", 1, 1, "1ZZZZZZZ", {"[ERROR][realpath failed]"}},  // never created
        // the resolved path is the one named when the open fails
        {"/var/log/files/todir", 1, 1, "1ZZZZZZZ", {"[ERROR][open /var/log/files/dir failed]"}},
        {"/var/log/files/dir", 0, 1, "ZZZZZZZZ", {"[ERROR][file operation failed -1]"}},
        {"/var/log/files/a.b", 0, 1, "ZZZZZZZZ",
         {"[WARNING][reject dangerous file path:\"/var/log/files/a.b\" ]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.path) + (row.write != 0 ? " write" : " read"));
        char buffer[9] = "ZZZZZZZZ";
        buffer[0] = row.write != 0 ? '1' : 'Z';
        log.Clear();
        EXPECT_EQ(SafeReadWriteFile(row.path, buffer, row.write != 0 ? 1 : 8, row.write), row.result);
        EXPECT_STREQ(buffer, row.buffer);
        EXPECT_THAT(log.Messages(), ElementsAreArray(row.messages));
    }
    char buffer[2] = "";
    EXPECT_EQ(SafeReadWriteFile(nullptr, buffer, 1, 0), 1);
    EXPECT_EQ(SafeReadWriteFile("/var/log/files/attr", nullptr, 1, 1), 1);
    struct stat info;
    EXPECT_NE(stat("/var/log/files/missing", &info), 0) << "no file is ever created";
    EXPECT_EQ(ReadFile("/var/log/files/attr"), "1bcdef") << "exactly one byte written";
}

} // namespace
