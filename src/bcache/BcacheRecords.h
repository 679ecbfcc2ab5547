// The two records the bcache driver exchanges through its private control
// requests, laid out byte for byte as the driver reads and writes them
// (native byte order, little-endian on the target).
#ifndef QUELVAR_BCACHE_BCACHERECORDS_H
#define QUELVAR_BCACHE_BCACHERECORDS_H

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

// Filled by the driver on BCACHE_IOC_GET_STATUS.
struct BcacheStatus {
    uint32_t baseA;     // scaled into scaledA
    uint32_t baseB;     // scaled into scaledB
    uint32_t modeGate;  // only tested for zero
    uint32_t unused12;  // the driver's; not read
    uint64_t markGate;  // only tested for zero
    uint32_t percent;   // drives the policy
    uint32_t unused28;  // the driver's; not read
};

// Read by the driver on BCACHE_IOC_SET_TUNING.
struct BcacheTuning {
    uint32_t scaledA;
    uint32_t scaledB;
    uint8_t lowLevel;      // 0 or 1
    uint8_t veryLowLevel;  // 0 or 1
    uint8_t reserved;      // always 0
    uint8_t mark;          // 0 or 1
    uint32_t mode;         // 0, 1 or 2
    uint32_t lowLevelSize;
    uint32_t fixedLevel;
};

static_assert(sizeof(BcacheStatus) == 32, "BcacheStatus is 32 bytes");
static_assert(offsetof(BcacheStatus, baseA) == 0, "baseA at 0");
static_assert(offsetof(BcacheStatus, baseB) == 4, "baseB at 4");
static_assert(offsetof(BcacheStatus, modeGate) == 8, "modeGate at 8");
static_assert(offsetof(BcacheStatus, unused12) == 12, "unread word at 12");
static_assert(offsetof(BcacheStatus, markGate) == 16, "markGate at 16");
static_assert(offsetof(BcacheStatus, percent) == 24, "percent at 24");
static_assert(offsetof(BcacheStatus, unused28) == 28, "unread word at 28");

static_assert(sizeof(BcacheTuning) == 24, "BcacheTuning is 24 bytes");
static_assert(offsetof(BcacheTuning, scaledA) == 0, "scaledA at 0");
static_assert(offsetof(BcacheTuning, scaledB) == 4, "scaledB at 4");
static_assert(offsetof(BcacheTuning, lowLevel) == 8, "lowLevel at 8");
static_assert(offsetof(BcacheTuning, veryLowLevel) == 9, "veryLowLevel at 9");
static_assert(offsetof(BcacheTuning, reserved) == 10, "reserved at 10");
static_assert(offsetof(BcacheTuning, mark) == 11, "mark at 11");
static_assert(offsetof(BcacheTuning, mode) == 12, "mode at 12");
static_assert(offsetof(BcacheTuning, lowLevelSize) == 16, "lowLevelSize at 16");
static_assert(offsetof(BcacheTuning, fixedLevel) == 20, "fixedLevel at 20");

// The driver's request codes, type letter 'B'. Kept as literals so that the
// values the driver expects are visible here, and tied to the kernel's own
// encoding (direction, size, type, number) below.
constexpr unsigned long BCACHE_IOC_GET_STATUS = 0x80204200UL;
constexpr unsigned long BCACHE_IOC_SET_TUNING = 0x40184201UL;

static_assert(BCACHE_IOC_GET_STATUS == _IOR('B', 0, BcacheStatus), "read, 'B', 0, 32 bytes");
static_assert(BCACHE_IOC_SET_TUNING == _IOW('B', 1, BcacheTuning), "write, 'B', 1, 24 bytes");

#endif
