#include "daemon/Daemon.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bcache/BcacheDev.h"
#include "daemon/DeviceSteps.h"
#include "sys/Log.h"
#include "sys/BlockStack.h"
#include "sys/LogGate.h"
#include "sys/Status.h"
#include "writecache/PublishedView.h"
#include "writecache/WriteCacheStep.h"

extern "C" void HandleSigterm(int /*signal*/)
{
    running = 0;
}

int Daemon::PerPassStep(OsdInfoMap& inventory)
{
    return inventory.RefreshOsdInfo();
}

int Daemon::DeviceSteps(const std::string& name, const OsdInfoMap& inventory)
{
    BcacheDev device(name);
    DeviceRow row;
    const int result = RunDeviceSteps(device, inventory.OsdInfoList(), watch, &row);
    // A partition's disk is its whole device's, which has the row.
    if (!IsBcachePartitionName(name)) {
        seen.rows.push_back(std::move(row));
    }
    return result;
}

void Daemon::PublishView()
{
    std::sort(seen.rows.begin(), seen.rows.end(),
              [](const DeviceRow& a, const DeviceRow& b) { return ByDeviceName(a.device, b.device); });
    for (DeviceRow& row : seen.rows) {
        Judge(row, seen.problem.empty());
    }
    static const long pid = static_cast<long>(getpid());
    const ViewHeader header{pid, passes, passBegan, BootSeconds()};
    const int error = WriteView(VIEW_PATH, FormatView(header, seen));
    if (error != 0 && error != viewError) {
        WriteLog(LOG_WARNING, "cannot publish the view %s: %s\n", VIEW_PATH, strerror(error));
    }
    viewError = error;
}

int Daemon::RetrySilentDisks(const OsdInfoMap& inventory)
{
    watch.EndWalk();
    for (const std::string& name : watch.TakeDeferred()) {
        if (running == 0) {
            break;
        }
        LogSubject subject(name);
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
    if (result != 0) {
        return result;
    }
    PublishView();
    return RetrySilentDisks(inventory);
}

int Daemon::Run()
{
    if (PrepareLogDir() != 0) {
        return -1;
    }
    WriteLog(LOG_INFO, "quelvar start\n");
    (void)signal(SIGTERM, HandleSigterm);
    OsdInfoMap inventory(OSD_ROOT, CEPHADM_BASE, ROOK_BASE);

    // A pass runs from the inventory's refresh to the end of the disks'
    // deferred tries: what a subject tried in it did not say again has ended.
    LogGate& gate = ProcessLogGate();
    bool keepRunning = true;
    while (true) {
        keepRunning = keepRunning && running != 0;
        if (!keepRunning) {
            break;
        }
        gate.BeginPass(BootSeconds());
        const int refreshed = PerPassStep(inventory);
        if (refreshed == ERR_PRIVILEGE) {
            break;
        }
        passBegan = BootSeconds();
        ++passes;
        seen = HostReport{InventoryProblem(refreshed, inventory.Incomplete()), {}};
        watch.BeginPass(passBegan);
        int walk = WalkDevices(inventory);
        if (walk == -1) {
            gate.EndAll();
            return -1;
        }
        gate.EndPass();
        if (walk == ERR_PRIVILEGE) {
            keepRunning = false;
        }
        // A SIGTERM that came during the pass, while a disk command held it
        // up, ends the daemon now: it would not end a pause begun after it.
        if (running != 0) {
            Pause();
        }
    }
    gate.EndAll();
    // What a stopped daemon saw is no one's view.
    (void)unlink(VIEW_PATH);
    WriteLog(LOG_INFO, "quelvar stop\n");
    return 0;
}
