#include "daemon/Daemon.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "bcache/BcacheDev.h"
#include "daemon/DeviceSteps.h"
#include "sys/Log.h"
#include "sys/Status.h"
#include "writecache/WriteCacheStep.h"

extern "C" void HandleSigterm(int /*signal*/)
{
    running = 0;
}

int Daemon::PerPassStep(OsdInfoMap& inventory)
{
    return inventory.RefreshOsdInfo();
}

namespace {

long long MonotonicSeconds()
{
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec);
}

} // namespace

int Daemon::DeviceSteps(const std::string& name, const OsdInfoMap& inventory)
{
    BcacheDev device(name);
    return RunDeviceSteps(device, inventory.OsdInfoList(), watch);
}

int Daemon::RetrySilentDisks(const OsdInfoMap& inventory)
{
    watch.EndWalk();
    for (const std::string& name : watch.TakeDeferred()) {
        if (running == 0) {
            break;
        }
        BcacheDev device(name);
        if (WriteCacheStep(device, inventory.OsdInfoList(), watch) == ERR_PRIVILEGE) {
            return ERR_PRIVILEGE;
        }
    }
    return 0;
}

void Daemon::Pause()
{
    // A handled SIGTERM ends the pause early; the next pass then stops.
    (void)sleep(PASS_PAUSE_SECONDS);
}

int Daemon::WalkDevices(const OsdInfoMap& inventory)
{
    DIR* dir = opendir(DEV_DIR);
    if (dir == nullptr) {
        int error = errno;
        WriteLog(LOG_ERROR, "opendir [/dev] error:%d %s\n", error, strerror(error));
        return -1;
    }
    int result = 0;
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (!IsBcacheDevEntry(*entry)) {
            continue;
        }
        if (DeviceSteps(std::string(entry->d_name), inventory) == ERR_PRIVILEGE) {
            result = ERR_PRIVILEGE;
            break;
        }
    }
    (void)closedir(dir);
    return result == 0 ? RetrySilentDisks(inventory) : result;
}

int Daemon::Run()
{
    if (PrepareLogDir() != 0) {
        return -1;
    }
    WriteLog(LOG_INFO, "quelvar start\n");
    (void)signal(SIGTERM, HandleSigterm);
    OsdInfoMap inventory(OSD_ROOT, CEPHADM_BASE, ROOK_BASE);

    bool keepRunning = true;
    while (true) {
        keepRunning = keepRunning && running != 0;
        if (!keepRunning || PerPassStep(inventory) == ERR_PRIVILEGE) {
            break;
        }
        watch.BeginPass(MonotonicSeconds());
        int walk = WalkDevices(inventory);
        if (walk == -1) {
            return -1;
        }
        if (walk == ERR_PRIVILEGE) {
            keepRunning = false;
        }
        // A SIGTERM that came during the pass, while a disk command held it
        // up, ends the daemon now: it would not end a pause begun after it.
        if (running != 0) {
            Pause();
        }
    }
    WriteLog(LOG_INFO, "quelvar stop\n");
    return 0;
}
