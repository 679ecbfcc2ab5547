#include "bcache/BcachePolicy.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

constexpr uint32_t BIG = 4000000000U;  // base x factor overflows 32 bits
constexpr uint32_t MAX = 4294967295U;
constexpr uint32_t JUNK = 0xffffffffU;  // words the policy must not read
constexpr uint64_t HIGH_ONLY = 1ULL << 32;  // non-zero, but not in its low word
constexpr uint32_t LOW = 0x400000;

auto Fields(const BcacheTuning& t)
{
    return std::make_tuple(t.scaledA, t.scaledB, +t.lowLevel, +t.veryLowLevel, +t.reserved, +t.mark, t.mode,
                           t.lowLevelSize, t.fixedLevel);
}

TEST(ComputeTuning, FollowsThePolicyTable)
{
    const struct {
        BcacheStatus in;   // baseA, baseB, modeGate, -, markGate, percent, -
        BcacheTuning out;  // scaledA, scaledB, low, veryLow, reserved, mark, mode, lowLevelSize, fixedLevel
    } rows[] = {
        {{1000, BIG, 1, JUNK, 0, 14, JUNK}, {500, 2000000000, 1, 1, 0, 1, 2, LOW, 85}},
        {{1000, BIG, 1, JUNK, 0, 15, JUNK}, {500, 2000000000, 1, 0, 0, 1, 1, LOW, 85}},
        {{1000, BIG, 1, JUNK, 0, 20, JUNK}, {500, 2000000000, 1, 0, 0, 1, 1, LOW, 85}},
        {{1000, BIG, 1, JUNK, 0, 21, JUNK}, {550, 2200000000, 1, 0, 0, 1, 1, LOW, 85}},
        {{1000, BIG, 1, JUNK, 0, 29, JUNK}, {950, 3800000000, 1, 0, 0, 1, 1, LOW, 85}},
        {{1000, BIG, 1, JUNK, 0, 30, JUNK}, {1000, BIG, 0, 0, 0, 0, 1, 0, 85}},
        {{1000, BIG, 1, JUNK, 0, 39, JUNK}, {1000, BIG, 0, 0, 0, 0, 1, 0, 85}},
        {{1000, BIG, 1, JUNK, 0, 40, JUNK}, {1000, BIG, 0, 0, 0, 0, 0, 0, 85}},
        {{1000, BIG, 1, JUNK, 0, MAX, JUNK}, {1000, BIG, 0, 0, 0, 0, 0, 0, 85}},
        // modeGate 0: mode 1 whatever the percentage
        {{1000, 1000, 0, JUNK, 0, 10, JUNK}, {500, 500, 1, 1, 0, 1, 1, LOW, 85}},
        {{1000, 1000, 0, JUNK, 0, 40, JUNK}, {1000, 1000, 0, 0, 0, 0, 1, 0, 85}},
        // markGate set: no mark even when low, tested in all 64 bits
        {{1000, 1000, 1, JUNK, 1, 10, JUNK}, {500, 500, 1, 1, 0, 0, 2, LOW, 85}},
        {{1000, 1000, 1, JUNK, HIGH_ONLY, 29, JUNK}, {950, 950, 1, 0, 0, 0, 1, LOW, 85}},
        // remainders dropped; full scale writes the bases back
        {{199, 199, 1, JUNK, 0, 10, JUNK}, {99, 99, 1, 1, 0, 1, 2, LOW, 85}},
        {{BIG, MAX, 1, JUNK, 0, 30, JUNK}, {BIG, MAX, 0, 0, 0, 0, 1, 0, 85}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "percent " << row.in.percent << " base " << row.in.baseA);
        EXPECT_EQ(Fields(ComputeTuning(row.in)), Fields(row.out));
    }
}

} // namespace
