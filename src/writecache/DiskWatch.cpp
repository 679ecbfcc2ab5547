#include "writecache/DiskWatch.h"

#include "sys/Log.h"

void DiskWatch::BeginPass(long long seconds)
{
    ++pass;
    now = seconds;
    walkDone = false;
    deferred.clear();
}

DiskWatch::Turn DiskWatch::TurnOf(const std::string& disk) const
{
    const auto found = silent.find(disk);
    // A disk that refused has its word read again: that costs no command.
    if (found == silent.end() || !found->second.timedOut) {
        return Turn::Now;
    }
    if (pass < found->second.nextPass || now < found->second.nextTime) {
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

void DiskWatch::Answered(const std::string& disk)
{
    if (silent.erase(disk) != 0) {
        WriteLog(LOG_INFO, "disk %s answers again\n", disk.c_str());
    }
}

void DiskWatch::TimedOut(const std::string& disk)
{
    Silence& silence = silent[disk];
    if (!silence.timedOut) {
        WriteLog(LOG_WARNING, "disk %s does not answer: its command timed out\n", disk.c_str());
        silence = Silence{true, std::string(), 0, 0, 0};
    } else {
        ++silence.tries;
    }
    // 1, 2, 4 and 8 passes, then by the clock: a try of a silent disk
    // lengthens its pass by a time-out, so passes no longer count minutes.
    if (silence.tries < BACKOFF_STEPS) {
        silence.nextPass = pass + (1ULL << silence.tries);
        silence.nextTime = 0;
    } else {
        silence.nextPass = pass + 1;
        silence.nextTime = now + RETRY_SECONDS;
    }
}

void DiskWatch::Refused(const std::string& disk, const std::string& state)
{
    Silence& silence = silent[disk];
    if (silence.timedOut || silence.state != state) {
        WriteLog(LOG_WARNING, "disk %s cannot take commands: state %s\n", disk.c_str(), state.c_str());
    }
    silence = Silence{false, state, 0, 0, 0};
}
