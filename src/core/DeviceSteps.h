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

// The first record whose OSD has its block on `device`, whatever its type
// and links: the OSD the device carries. Null when none.
[[nodiscard]] const OsdInfo* FindCarriedRecord(const std::vector<OsdInfo>& records, const std::string& device);

// What the write-cache step reads of one bcache device, and the status
// report reads the same way: the one reader of that state.
constexpr int WRITE_CACHE_NOT_READ = -1;
struct DeviceFacts {
    std::string disk;                        // the backing disk's kernel name
    int kernelMode = WRITE_CACHE_NOT_READ;   // QueryWriteCacheMode's answer
    const OsdInfo* guard = nullptr;          // FindCacheOffRecord's answer
};

// Resolves the backing disk, then, when some record could oblige it (or
// `readMode` asks for it anyway), the block layer's mode, then the record
// that obliges its cache off. 0 read, -1 the backing disk is unknown
// (GetBackendDev logged why; the caller says for which device).
[[nodiscard]] int ReadDeviceFacts(BcacheDev& device, const std::vector<OsdInfo>& records, bool readMode,
                                  DeviceFacts& facts);

// The decision: an OSD obliges the cache off and the block layer does not
// already report "write through" (an unreadable mode counts as on).
[[nodiscard]] bool CacheMustGoOff(const DeviceFacts& facts);

// Resolves the backing disk and, when a record obliges it and the block
// layer does not already report "write through", runs FlushBcache with
// raised privilege. -1 when the backing disk is unknown or privilege could
// not be raised, 0 when nothing was to be done, else FlushBcache's result;
// ERR_PRIVILEGE when the return to the saved user failed.
[[nodiscard]] int WriteCacheStep(BcacheDev& device, const std::vector<OsdInfo>& records);

// Tunes the device. TuneBcache's result; ERR_PRIVILEGE (logged here) when
// its privilege drop failed.
[[nodiscard]] int TuningStep(BcacheDev& device);

// Both steps in their order; the tuning step is skipped when the
// write-cache step lost privilege. The last step's result.
[[nodiscard]] int RunDeviceSteps(BcacheDev& device, const std::vector<OsdInfo>& records);

#endif
