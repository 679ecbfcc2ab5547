#include "sys/RealPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace {

// A tree with every kind of component realpath meets: links relative and
// absolute, chained, to directories, dangling, looping, and a FIFO.
class RealPathTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quelvar-realpath.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_EQ(mkdir((root + "/devices").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/devices/sdb").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/devices/sdb/queue").c_str(), 0755), 0);
        ASSERT_EQ(close(creat((root + "/devices/sdb/queue/write_cache").c_str(), 0644)), 0);
        ASSERT_EQ(mkdir((root + "/block").c_str(), 0755), 0);
        ASSERT_EQ(symlink("../devices/sdb", (root + "/block/sdb").c_str()), 0);
        ASSERT_EQ(symlink((root + "/devices/sdb").c_str(), (root + "/block/abs").c_str()), 0);
        ASSERT_EQ(symlink("sdb", (root + "/block/chain").c_str()), 0);
        ASSERT_EQ(symlink("missing", (root + "/block/dangling").c_str()), 0);
        ASSERT_EQ(symlink("loop", (root + "/block/loop").c_str()), 0);
        ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    }

    void TearDown() override
    {
        if (!root.empty()) {
            EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
        }
    }

    std::string root;
};

TEST_F(RealPathTest, AnswersAsRealpathDoes)
{
    const std::string paths[] = {
        "/",
        root,
        root + "/",
        root + "//devices/./sdb/",
        root + "/block/sdb/queue/write_cache",
        root + "/block/abs/queue",
        root + "/block/chain/../sdb/queue/write_cache",
        root + "/block/sdb/..",
        root + "/block/dangling",
        root + "/block/loop",
        root + "/block/sdb/queue/write_cache/",
        root + "/block/none/write_cache",
        root + "/fifo",
        "/dev/null",
        "",
        ".",
        "relative-that-is-not-there",
    };
    for (const std::string& path : paths) {
        char expected[PATH_MAX] = {};
        char got[PATH_MAX] = {};
        errno = 0;
        const char* want = realpath(path.c_str(), expected);
        const int wantError = errno;
        errno = 0;
        const char* have = ResolveRealPath(path.c_str(), got);
        const int haveError = errno;
        ASSERT_EQ(want == nullptr, have == nullptr) << path;
        if (want != nullptr) {
            EXPECT_EQ(have, got) << path;
            EXPECT_STREQ(got, expected) << path;
        } else {
            EXPECT_EQ(haveError, wantError) << path;
        }
    }
}

} // namespace
