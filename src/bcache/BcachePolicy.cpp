#include "bcache/BcachePolicy.h"

#include <algorithm>

namespace {

// base x factor / 100 in 64 bits: a 32-bit product overflows from a base of
// about 43 million on. With factor <= 100 the quotient never exceeds base.
uint32_t Scale(uint32_t base, int64_t factor)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(base) * static_cast<uint64_t>(factor) / 100U);
}

} // namespace

BcacheTuning ComputeTuning(const BcacheStatus& status)
{
    BcacheTuning tuning{};
    // Compared unsigned: every value from 30 up to 0xffffffff is "not low".
    const uint32_t percent = status.percent;
    int64_t factor = 100;
    if (percent < BCACHE_LOW_PERCENT) {
        // 50 up to 20 percent, then 5 points per percent: 55 ... 95.
        factor = std::max<int64_t>(5 * static_cast<int64_t>(percent) - 50, 50);
        tuning.lowLevel = 1;
        tuning.lowLevelSize = BCACHE_LOW_LEVEL_SIZE;
        tuning.mark = status.markGate == 0 ? 1 : 0;
    }
    tuning.scaledA = Scale(status.baseA, factor);
    tuning.scaledB = Scale(status.baseB, factor);
    tuning.veryLowLevel = percent < BCACHE_VERY_LOW_PERCENT ? 1 : 0;
    if (percent >= BCACHE_MODE_PERCENT) {
        tuning.mode = status.modeGate == 0 ? 1 : 0;
    } else {
        tuning.mode = (tuning.veryLowLevel == 1 && status.modeGate != 0) ? 2 : 1;
    }
    tuning.fixedLevel = BCACHE_FIXED_LEVEL;
    return tuning;
}
