// The two steps the main loop runs for every bcache device it finds: the
// write-cache step, then the tuning step.
#ifndef QUELVAR_DAEMON_DEVICESTEPS_H
#define QUELVAR_DAEMON_DEVICESTEPS_H

#include <vector>

#include "bcache/BcacheDev.h"
#include "osd/OsdInfo.h"
#include "writecache/DeviceVerdict.h"
#include "writecache/DiskWatch.h"

// Tunes the device. TuneBcache's result; ERR_PRIVILEGE (logged here) when
// its privilege drop failed.
[[nodiscard]] int TuningStep(BcacheDev& device);

// Both steps in their order; the tuning step is skipped when the
// write-cache step lost privilege. The last step's result. With `row`, what
// the write-cache step knows of the device (WriteCacheStep).
[[nodiscard]] int RunDeviceSteps(BcacheDev& device, const std::vector<OsdInfo>& records, DiskWatch& watch,
                                 DeviceRow* row = nullptr);

#endif
