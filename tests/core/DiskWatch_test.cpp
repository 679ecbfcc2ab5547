#include "core/DiskWatch.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/LogCapture.h"

namespace {

// A disk that never answers, on passes five seconds apart: tried in its
// place on the first pass, then after the walk on the next, then 2, 4 and
// 8 passes later, then once a minute; the operator hears of it once.
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

    watch.BeginPass(5LL * 52);
    watch.EndWalk();
    ASSERT_EQ(watch.TurnOf("sdc"), DiskWatch::Turn::Now);
    watch.Answered("sdc");
    watch.Answered("sdc");
    EXPECT_EQ(log.Messages().back(), "[INFO][disk sdc answers again]");
    EXPECT_EQ(log.Messages().size(), 2u);
}

// Each change in what a disk says or does is logged once, however many
// passes it lasts; a disk that refuses has its turn every pass (its state
// costs no command), a silent one waits.
TEST(DiskWatch, LogsEachChangeOnce)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    ASSERT_TRUE(log.ok());
    using Turn = DiskWatch::Turn;
    const struct {
        std::function<void(DiskWatch&)> event;
        const char* logged;  // nullptr: nothing
        Turn next;           // the disk's turn on the next pass
    } steps[] = {
        {[](DiskWatch& w) { w.Answered("sdd"); }, nullptr, Turn::Now},
        {[](DiskWatch& w) { w.Refused("sdd", "offline"); }, "[WARNING][disk sdd cannot take commands: state offline]",
         Turn::Now},
        {[](DiskWatch& w) { w.Refused("sdd", "offline"); }, nullptr, Turn::Now},
        {[](DiskWatch& w) { w.Refused("sdd", "blocked"); }, "[WARNING][disk sdd cannot take commands: state blocked]",
         Turn::Now},
        {[](DiskWatch& w) { w.TimedOut("sdd"); }, "[WARNING][disk sdd does not answer: its command timed out]",
         Turn::AfterWalk},
        {[](DiskWatch& w) { w.TimedOut("sdd"); }, nullptr, Turn::NotThisPass},
        {[](DiskWatch& w) { w.Refused("sdd", "blocked"); }, "[WARNING][disk sdd cannot take commands: state blocked]",
         Turn::Now},
        {[](DiskWatch& w) { w.Answered("sdd"); }, "[INFO][disk sdd answers again]", Turn::Now},
    };
    DiskWatch watch;
    for (unsigned pass = 0; pass < sizeof(steps) / sizeof(steps[0]); ++pass) {
        SCOPED_TRACE(pass);
        log.Clear();
        watch.BeginPass(pass);
        steps[pass].event(watch);
        EXPECT_EQ(log.Messages(), steps[pass].logged == nullptr ? std::vector<std::string>{}
                                                                : std::vector<std::string>{steps[pass].logged});
        watch.BeginPass(pass);
        EXPECT_EQ(watch.TurnOf("sdd"), steps[pass].next);
    }
}

} // namespace
