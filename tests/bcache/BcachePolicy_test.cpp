#include "bcache/BcachePolicy.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t BIG = 4000000000U;  // base x factor overflows 32 bits
constexpr uint32_t MAX = 4294967295U;
constexpr uint64_t HIGH_ONLY = 1ULL << 32;  // non-zero, but not in its low word

struct Row {
    uint32_t percent;
    uint32_t modeGate;
    uint64_t markGate;
    uint32_t baseA;
    uint32_t baseB;
    // expected
    uint32_t scaledA;
    uint32_t scaledB;
    uint8_t lowLevel;
    uint8_t veryLowLevel;
    uint8_t mark;
    uint32_t mode;
    uint32_t lowLevelSize;
};

const Row ROWS[] = {
    // P     modeGate markGate   baseA  baseB  scaledA     scaledB     low vlow mark mode size
    {0,      1, 0,         1000, BIG,   500,        2000000000, 1, 1, 1, 2, 0x400000},
    {14,     1, 0,         1000, BIG,   500,        2000000000, 1, 1, 1, 2, 0x400000},
    {15,     1, 0,         1000, BIG,   500,        2000000000, 1, 0, 1, 1, 0x400000},
    {20,     1, 0,         1000, BIG,   500,        2000000000, 1, 0, 1, 1, 0x400000},
    {21,     1, 0,         1000, BIG,   550,        2200000000, 1, 0, 1, 1, 0x400000},
    {25,     1, 0,         1000, BIG,   750,        3000000000, 1, 0, 1, 1, 0x400000},
    {29,     1, 0,         1000, BIG,   950,        3800000000, 1, 0, 1, 1, 0x400000},
    {30,     1, 0,         1000, BIG,   1000,       BIG,        0, 0, 0, 1, 0},
    {39,     1, 0,         1000, BIG,   1000,       BIG,        0, 0, 0, 1, 0},
    {40,     1, 0,         1000, BIG,   1000,       BIG,        0, 0, 0, 0, 0},
    {MAX,    1, 0,         1000, BIG,   1000,       BIG,        0, 0, 0, 0, 0},
    // modeGate 0: mode 1 whatever P
    {0,      0, 0,         1000, 1000,  500,        500,        1, 1, 1, 1, 0x400000},
    {10,     0, 0,         1000, 1000,  500,        500,        1, 1, 1, 1, 0x400000},
    {39,     0, 0,         1000, 1000,  1000,       1000,       0, 0, 0, 1, 0},
    {40,     0, 0,         1000, 1000,  1000,       1000,       0, 0, 0, 1, 0},
    {MAX,    0, 0,         1000, 1000,  1000,       1000,       0, 0, 0, 1, 0},
    // markGate set: no mark, even when low; tested in all 64 bits
    {10,     1, 1,         1000, 1000,  500,        500,        1, 1, 0, 2, 0x400000},
    {29,     1, HIGH_ONLY, 1000, 1000,  950,        950,        1, 0, 0, 1, 0x400000},
    {30,     1, 1,         1000, 1000,  1000,       1000,       0, 0, 0, 1, 0},
    // remainders dropped; baseA in 64 bits; full scale writes bases back
    {10,     1, 0,         199,  199,   99,         99,         1, 1, 1, 2, 0x400000},
    {21,     1, 0,         BIG,  7,     2200000000, 3,          1, 0, 1, 1, 0x400000},
    {30,     1, 0,         BIG,  MAX,   BIG,        MAX,        0, 0, 0, 1, 0},
    {MAX,    1, 0,         BIG,  0,     BIG,        0,          0, 0, 0, 0, 0},
};

TEST(ComputeTuning, FollowsThePolicyTable)
{
    for (const Row& row : ROWS) {
        SCOPED_TRACE("percent " + std::to_string(row.percent) + " modeGate " + std::to_string(row.modeGate) +
                     " markGate " + std::to_string(row.markGate) + " baseA " + std::to_string(row.baseA));
        BcacheStatus status{};
        status.baseA = row.baseA;
        status.baseB = row.baseB;
        status.modeGate = row.modeGate;
        status.markGate = row.markGate;
        status.percent = row.percent;
        status.unused12 = 0xffffffffU;  // bytes the policy must not read
        status.unused28 = 0xffffffffU;

        const BcacheTuning tuning = ComputeTuning(status);
        EXPECT_EQ(tuning.scaledA, row.scaledA);
        EXPECT_EQ(tuning.scaledB, row.scaledB);
        EXPECT_EQ(tuning.lowLevel, row.lowLevel);
        EXPECT_EQ(tuning.veryLowLevel, row.veryLowLevel);
        EXPECT_EQ(tuning.reserved, 0);
        EXPECT_EQ(tuning.mark, row.mark);
        EXPECT_EQ(tuning.mode, row.mode);
        EXPECT_EQ(tuning.lowLevelSize, row.lowLevelSize);
        EXPECT_EQ(tuning.fixedLevel, 85U);
    }
}

} // namespace
