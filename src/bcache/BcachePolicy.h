// The fixed percentage policy that turns one status record into the tuning
// record written back to the driver. Pure: no state, no system call.
#ifndef QUELVAR_BCACHE_BCACHEPOLICY_H
#define QUELVAR_BCACHE_BCACHEPOLICY_H

#include "bcache/BcacheRecords.h"

// Percentages below this mark the cache as running low.
constexpr uint32_t BCACHE_LOW_PERCENT = 30;
// Percentages below this mark it as running very low.
constexpr uint32_t BCACHE_VERY_LOW_PERCENT = 15;
// From this percentage on the mode follows modeGate alone.
constexpr uint32_t BCACHE_MODE_PERCENT = 40;
constexpr uint32_t BCACHE_LOW_LEVEL_SIZE = 0x400000;
constexpr uint32_t BCACHE_FIXED_LEVEL = 85;

// The complete tuning record for `status`; every field is set.
[[nodiscard]] BcacheTuning ComputeTuning(const BcacheStatus& status);

#endif
