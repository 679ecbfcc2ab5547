#include "writecache/DiskWatch.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace {

// A disk that never answers, on passes five seconds apart: tried in its
// place on the first pass, then after the walk on the next, then 2, 4 and
// 8 passes later, then once a minute; the operator hears of it once (and of
// its return once: the end-to-end silent-disk case).
TEST(DiskWatch, BacksOffFromASilentDiskToOnceAMinute)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    ASSERT_TRUE(log.ok());
    DiskWatch watch;
    std::vector<unsigned> tried;
    for (unsigned pass = 1; pass <= 45; ++pass) {
        watch.BeginPass(5LL * pass);
        DiskWatch::Turn turn = watch.TurnOf("sdc");
        if (turn == DiskWatch::Turn::AfterWalk) {
            watch.Defer("bcache2");
            watch.EndWalk();
            EXPECT_EQ(watch.TakeDeferred(), std::vector<std::string>{"bcache2"});
            turn = watch.TurnOf("sdc");
            EXPECT_EQ(turn, DiskWatch::Turn::Now);
        } else {
            EXPECT_TRUE(pass == 1 || turn == DiskWatch::Turn::NotThisPass) << pass;
        }
        if (turn == DiskWatch::Turn::Now) {
            tried.push_back(pass);
            watch.TimedOut("sdc");
        }
        EXPECT_EQ(watch.TurnOf("sdb"), DiskWatch::Turn::Now) << "another disk keeps its turn";
    }
    EXPECT_EQ(tried, (std::vector<unsigned>{1, 2, 4, 8, 16, 28, 40}));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"[WARNING][disk sdc does not answer: its command timed out]"});
}

} // namespace
