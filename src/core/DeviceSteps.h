// The two steps the main loop runs for every bcache device it finds: the
// write-cache step, then the tuning step.
#ifndef QUELVAR_CORE_DEVICESTEPS_H
#define QUELVAR_CORE_DEVICESTEPS_H

#include <string>
#include <vector>

#include "bcache/BcacheDev.h"
#include "osd/OsdInfo.h"

// The first record that obliges the device's backing disk to lose its
// volatile write cache: a bluestore OSD whose block is exactly `device` and
// whose DB link differs from its block link (so its DB lives elsewhere and
// the data disk's cache would hold acknowledged writes). Null when none.
[[nodiscard]] const OsdInfo* FindCacheOffRecord(const std::vector<OsdInfo>& records, const std::string& device);

// Resolves the backing disk and, when a record obliges it, runs FlushBcache
// with raised privilege: at once when the block layer reports the whole
// disk "write back" (or cannot tell), and after asking the disk itself when
// it reports "write through", only if the disk says its cache is on.
// -1 when the backing disk is unknown or privilege could not be raised, 0
// when nothing was to be done, else FlushBcache's result; ERR_PRIVILEGE
// when the return to the saved user failed.
[[nodiscard]] int WriteCacheStep(BcacheDev& device, const std::vector<OsdInfo>& records);

// Tunes the device. TuneBcache's result; ERR_PRIVILEGE (logged here) when
// its privilege drop failed.
[[nodiscard]] int TuningStep(BcacheDev& device);

// Both steps in their order; the tuning step is skipped when the
// write-cache step lost privilege. The last step's result.
[[nodiscard]] int RunDeviceSteps(BcacheDev& device, const std::vector<OsdInfo>& records);

#endif
