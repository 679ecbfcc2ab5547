// What each guarded backing disk made of its commands, kept across passes.
//
// A disk that lets a command time out is left alone for a while, then tried
// again, as a path checker backs off from a dead path: on the next pass,
// then 10, 20 and 40 seconds later, then once a minute, until it answers. A
// known-silent disk's try waits until the walk of /dev is done, so it never
// holds up the disks that answer. A disk that says in sysfs it cannot take
// commands gets none, and its word is read again every pass. Each change is
// logged once: a WARNING when a disk falls silent or refuses, an INFO when
// it answers again. What each disk last said, and when, is what the
// daemon's published view shows of it.
#ifndef QUELVAR_WRITECACHE_DISKWATCH_H
#define QUELVAR_WRITECACHE_DISKWATCH_H

#include <map>
#include <string>
#include <vector>

#include "disk/DiskCache.h"

// What the watch knows of one disk.
struct DiskNews {
    std::string transport;         // ReadTransport, read when the disk is first guarded
    int said = DISK_CACHE_UNKNOWN; // its last answer about its cache
    double saidAt = -1;            // the pass's time of that answer
    // Why it gives no answer now ("does not answer: ...", "cannot take
    // commands: state ..."); empty while it answers.
    std::string silence;
    bool timedOut = false;  // silent because a command timed out: tried again at nextTry
    unsigned tries = 0;     // timed-out tries after the first
    double nextTry = 0;
};

class DiskWatch {
public:
    // When the disk gets its commands in this pass.
    enum class Turn {
        Now,          // in its place in the walk
        AfterWalk,    // a silent disk's try, once the walk is done
        NotThisPass,  // a silent disk not yet due
    };

    // After a time-out the disk is tried on the next pass, then after 10, 20
    // and 40 seconds (2, 4 and 8 five-second passes), then once a minute.
    // One clock only: a try of a silent disk lengthens its pass by a
    // time-out, so passes do not count time.
    static constexpr double RETRY_STEP_SECONDS = 5;
    static constexpr double RETRY_SECONDS = 60;

    // Starts a pass at `seconds` of the clock the view uses (BootSeconds).
    void BeginPass(double seconds);
    // The walk of /dev is done: the tries put off until now are due.
    void EndWalk() { walkDone = true; }

    [[nodiscard]] Turn TurnOf(const std::string& disk) const;
    // The bcache device whose disk's try waits for the end of the walk.
    void Defer(const std::string& device) { deferred.push_back(device); }
    // The devices put off in this pass, in their order; the list is emptied.
    [[nodiscard]] std::vector<std::string> TakeDeferred();

    // What became of the disk's commands in this pass: it answered, and
    // said `said` (DISK_CACHE_*) of its cache; a command timed out; sysfs
    // gives the disk `state` (offline, blocked, ...), so it got none.
    void Answered(const std::string& disk, int said);
    void TimedOut(const std::string& disk);
    void Refused(const std::string& disk, const std::string& state);

    // The disk's record, made empty when it has none yet.
    [[nodiscard]] DiskNews& News(const std::string& disk) { return disks[disk]; }

private:
    std::map<std::string, DiskNews> disks;
    std::vector<std::string> deferred;
    double now = 0;
    bool walkDone = false;
};

#endif
