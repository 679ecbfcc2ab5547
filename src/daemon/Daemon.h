// The daemon's main routine: start-up, the five-second control loop over the
// bcache block devices of /dev, and the orderly stop on SIGTERM.
#ifndef QUELVAR_DAEMON_DAEMON_H
#define QUELVAR_DAEMON_DAEMON_H

#include <dirent.h>

#include <string>

#include "osd/OsdInfoMap.h"
#include "sys/Running.h"
#include "writecache/DeviceVerdict.h"
#include "writecache/DiskWatch.h"

// The SIGTERM handler: clears `running` and does nothing else.
extern "C" void HandleSigterm(int signal);

constexpr unsigned PASS_PAUSE_SECONDS = 5;

// The main routine. The steps of a pass are virtual so that a test can
// replace them, or the pause, without reshaping the loop.
class Daemon {
public:
    Daemon() = default;
    virtual ~Daemon() = default;
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs until SIGTERM or a lost privilege drop. 0 after an orderly stop,
    // -1 after a failed start or a failed walk of /dev.
    [[nodiscard]] int Run();

protected:
    // Runs at the top of every pass: brings the inventory up to date.
    // ERR_PRIVILEGE stops the daemon; any other result leaves the inventory
    // as it stands and the pass goes on.
    [[nodiscard]] virtual int PerPassStep(OsdInfoMap& inventory);
    // Runs the device steps for one accepted /dev entry on a device object
    // that lives for this entry only, and keeps its row for the view.
    // ERR_PRIVILEGE stops the walk and, after the pause, the daemon.
    [[nodiscard]] virtual int DeviceSteps(const std::string& name, const OsdInfoMap& inventory);
    virtual void Pause();

private:
    // One walk of /dev. 0 done, ERR_PRIVILEGE when a device step asked to
    // stop, -1 when /dev could not be opened.
    [[nodiscard]] int WalkDevices(const OsdInfoMap& inventory);
    // The write-cache steps the walk put off: tries of silent disks. Not
    // after a stop was asked for: a try may wait out a time-out. 0 done,
    // ERR_PRIVILEGE when one asked to stop.
    [[nodiscard]] int RetrySilentDisks(const OsdInfoMap& inventory);

    // Judges the pass's rows and publishes them at VIEW_PATH, once the walk
    // is done and before the tries of silent disks. A failure is logged
    // once, until the view is written again.
    void PublishView();

    // Which backing disks answer, across passes.
    DiskWatch watch;
    // What this pass saw, for the view: the inventory's problem and the
    // rows of the walk.
    HostReport seen;
    unsigned long long passes = 0;
    double passBegan = 0;
    int viewError = 0;
};

#endif
