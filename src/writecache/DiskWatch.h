// Which backing disks answer, kept across passes.
//
// A disk that lets a command time out is left alone for a while, then tried
// again, as a path checker backs off from a dead path: on the next pass,
// then after 2, 4 and 8 passes, then once a minute, until it answers. A
// known-silent disk's try waits until the walk of /dev is done, so it never
// holds up the disks that answer. A disk that says in sysfs it cannot take
// commands gets none, and its word is read again every pass. Each change is
// logged once: a WARNING when a disk falls silent or refuses, an INFO when
// it answers again.
#ifndef QUELVAR_WRITECACHE_DISKWATCH_H
#define QUELVAR_WRITECACHE_DISKWATCH_H

#include <map>
#include <string>
#include <vector>

class DiskWatch {
public:
    // When the disk gets its commands in this pass.
    enum class Turn {
        Now,          // in its place in the walk
        AfterWalk,    // a silent disk's try, once the walk is done
        NotThisPass,  // a silent disk not yet due
    };

    // Passes a silent disk waits between its first tries; then a minute.
    static constexpr unsigned BACKOFF_STEPS = 4;
    static constexpr long long RETRY_SECONDS = 60;

    // Starts a pass at `seconds` of a monotonic clock.
    void BeginPass(long long seconds);
    // The walk of /dev is done: the tries put off until now are due.
    void EndWalk() { walkDone = true; }

    [[nodiscard]] Turn TurnOf(const std::string& disk) const;
    // The bcache device whose disk's try waits for the end of the walk.
    void Defer(const std::string& device) { deferred.push_back(device); }
    // The devices put off in this pass, in their order; the list is emptied.
    [[nodiscard]] std::vector<std::string> TakeDeferred();

    // What became of the disk's commands in this pass.
    void Answered(const std::string& disk);
    void TimedOut(const std::string& disk);
    // sysfs gives the disk `state` (offline, blocked, ...): no command.
    void Refused(const std::string& disk, const std::string& state);

private:
    struct Silence {
        bool timedOut = false;  // else it refused, with `state`
        std::string state;
        unsigned tries = 0;          // timed-out tries after the first
        unsigned long long nextPass = 0;
        long long nextTime = 0;
    };

    std::map<std::string, Silence> silent;
    std::vector<std::string> deferred;
    unsigned long long pass = 0;
    long long now = 0;
    bool walkDone = false;
};

#endif
