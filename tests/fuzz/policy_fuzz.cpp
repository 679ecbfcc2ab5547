// The tuning policy against its rules, written here as a table of ranges of
// the percentage: every status record must give exactly the record the
// rules give, byte for byte.
#include <cstring>

#include "bcache/BcachePolicy.h"
#include "fuzz/FuzzInput.h"

namespace {

BcacheTuning ByTheRules(const BcacheStatus& status)
{
    const uint64_t p = status.percent;  // unsigned: huge values are "high"
    BcacheTuning rules{};
    uint64_t factor = 100;
    if (p <= 20) {
        factor = 50;
    } else if (p <= 29) {
        factor = 5 * p - 50;
    }
    rules.scaledA = static_cast<uint32_t>(status.baseA * factor / 100);
    rules.scaledB = static_cast<uint32_t>(status.baseB * factor / 100);
    rules.lowLevel = p <= 29 ? 1 : 0;
    rules.veryLowLevel = p <= 14 ? 1 : 0;
    rules.lowLevelSize = p <= 29 ? 0x400000 : 0;
    rules.mark = p <= 29 && status.markGate == 0 ? 1 : 0;
    if (p >= 40) {
        rules.mode = status.modeGate == 0 ? 1 : 0;
    } else {
        rules.mode = p <= 14 && status.modeGate != 0 ? 2 : 1;
    }
    rules.fixedLevel = 85;
    return rules;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    BcacheStatus status{};
    std::string bytes = in.Bytes(sizeof(status));
    std::memcpy(&status, bytes.data(), bytes.size());
    const BcacheTuning computed = ComputeTuning(status);
    const BcacheTuning expected = ByTheRules(status);
    FUZZ_CHECK(std::memcmp(&computed, &expected, sizeof(computed)) == 0);
    FUZZ_CHECK(computed.scaledA <= status.baseA && computed.scaledB <= status.baseB);
    return 0;
}
