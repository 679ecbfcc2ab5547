#include "writecache/DiskWatch.h"

#include <algorithm>

#include "sys/Log.h"

void DiskWatch::BeginPass(double seconds)
{
    now = seconds;
    walkDone = false;
    deferred.clear();
}

DiskWatch::Turn DiskWatch::TurnOf(const std::string& disk) const
{
    const auto found = disks.find(disk);
    // A disk that refused has its word read again: that costs no command.
    if (found == disks.end() || !found->second.timedOut) {
        return Turn::Now;
    }
    if (now < found->second.nextTry) {
        return Turn::NotThisPass;
    }
    return walkDone ? Turn::Now : Turn::AfterWalk;
}

std::vector<std::string> DiskWatch::TakeDeferred()
{
    std::vector<std::string> taken;
    taken.swap(deferred);
    return taken;
}

void DiskWatch::Answered(const std::string& disk, int said)
{
    DiskNews& news = disks[disk];
    if (!news.silence.empty()) {
        WriteLog(LOG_INFO, "disk %s answers again\n", disk.c_str());
    }
    news.silence.clear();
    news.timedOut = false;
    news.said = said;
    news.saidAt = now;
}

void DiskWatch::TimedOut(const std::string& disk)
{
    DiskNews& news = disks[disk];
    if (!news.timedOut) {
        WriteLog(LOG_WARNING, "disk %s does not answer: its command timed out\n", disk.c_str());
        news.silence = "does not answer: its command timed out";
        news.timedOut = true;
        news.tries = 0;
    } else {
        ++news.tries;
    }
    news.nextTry = news.tries == 0 ? now : now + std::min(RETRY_STEP_SECONDS * (1U << std::min(news.tries, 4U)), RETRY_SECONDS);
}

void DiskWatch::Refused(const std::string& disk, const std::string& state)
{
    DiskNews& news = disks[disk];
    const std::string silence = "cannot take commands: state " + state;
    if (news.silence != silence) {
        WriteLog(LOG_WARNING, "disk %s cannot take commands: state %s\n", disk.c_str(), state.c_str());
    }
    news.silence = silence;
    news.timedOut = false;
}
