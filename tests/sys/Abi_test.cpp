// The kernel interfaces the daemon depends on, checked where the test binary
// runs: CI runs it on AArch64 under qemu-user as well as natively, so a record
// or number that differs between architectures shows up here, not in the field.
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <thread>

#include "bcache/BcacheRecords.h"

namespace {

// A 32-bit build would hand the 64-bit kernel a header it reads through its
// compat layout; the bcache records are read as little-endian fields.
static_assert(sizeof(void*) == 8 && sizeof(long) == 8, "the daemon is built LP64 only");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the target is little-endian");

struct Field {
    const char* name;
    size_t offset, size, kernelOffset, kernelSize;
};
#define FIELD(record, member, offset, size) \
    Field{#record "." #member, offsetof(record, member), sizeof(record::member), offset, size}

// The kernel's struct sg_io_hdr (interface 'S') for a 64-bit caller, and the
// bcache driver's records: 32 bytes read, 24 written, no padding.
constexpr Field LAYOUT[] = {
    FIELD(sg_io_hdr, interface_id, 0, 4), FIELD(sg_io_hdr, dxfer_direction, 4, 4), FIELD(sg_io_hdr, cmd_len, 8, 1),
    FIELD(sg_io_hdr, mx_sb_len, 9, 1), FIELD(sg_io_hdr, iovec_count, 10, 2), FIELD(sg_io_hdr, dxfer_len, 12, 4),
    FIELD(sg_io_hdr, dxferp, 16, 8), FIELD(sg_io_hdr, cmdp, 24, 8), FIELD(sg_io_hdr, sbp, 32, 8),
    FIELD(sg_io_hdr, timeout, 40, 4), FIELD(sg_io_hdr, flags, 44, 4), FIELD(sg_io_hdr, pack_id, 48, 4),
    FIELD(sg_io_hdr, usr_ptr, 56, 8), FIELD(sg_io_hdr, status, 64, 1), FIELD(sg_io_hdr, masked_status, 65, 1),
    FIELD(sg_io_hdr, msg_status, 66, 1), FIELD(sg_io_hdr, sb_len_wr, 67, 1), FIELD(sg_io_hdr, host_status, 68, 2),
    FIELD(sg_io_hdr, driver_status, 70, 2), FIELD(sg_io_hdr, resid, 72, 4), FIELD(sg_io_hdr, duration, 76, 4),
    FIELD(sg_io_hdr, info, 80, 4), FIELD(BcacheStatus, baseA, 0, 4), FIELD(BcacheStatus, baseB, 4, 4),
    FIELD(BcacheStatus, modeGate, 8, 4), FIELD(BcacheStatus, markGate, 16, 8), FIELD(BcacheStatus, percent, 24, 4),
    FIELD(BcacheTuning, scaledA, 0, 4), FIELD(BcacheTuning, scaledB, 4, 4), FIELD(BcacheTuning, lowLevel, 8, 1),
    FIELD(BcacheTuning, veryLowLevel, 9, 1), FIELD(BcacheTuning, reserved, 10, 1), FIELD(BcacheTuning, mark, 11, 1),
    FIELD(BcacheTuning, mode, 12, 4), FIELD(BcacheTuning, lowLevelSize, 16, 4),
    FIELD(BcacheTuning, fixedLevel, 20, 4),
};
#undef FIELD

constexpr bool MatchesKernel()
{
    for (const Field& field : LAYOUT) {
        if (field.offset != field.kernelOffset || field.size != field.kernelSize) {
            return false;
        }
    }
    return true;
}
static_assert(MatchesKernel(), "a record differs from the kernel's layout");

TEST(KernelAbi, RecordsAndRequestCodesAreTheKernels)
{
    for (const Field& field : LAYOUT) {
        EXPECT_EQ(std::make_pair(field.offset, field.size), std::make_pair(field.kernelOffset, field.kernelSize))
            << field.name;
    }
    // sg_io_hdr ends in padding up to the pointers' alignment: the kernel copies all of it.
    EXPECT_EQ(std::make_tuple(sizeof(sg_io_hdr), sizeof(BcacheStatus), sizeof(BcacheTuning)),
              std::make_tuple(88u, 32u, 24u));
    EXPECT_EQ(std::make_tuple(SG_IO, HDIO_SET_WCACHE, SG_DXFER_NONE, SG_DXFER_TO_DEV, SG_DXFER_FROM_DEV),
              std::make_tuple(0x2285, 0x032b, -1, -2, -3));
    // Direction in the top two bits, then a 14-bit size: architectures that
    // lay _IOC out differently would not produce the driver's numbers.
    EXPECT_EQ(std::make_tuple(BCACHE_IOC_GET_STATUS, BCACHE_IOC_SET_TUNING, _IOR('B', 0, char[32]),
                              _IOW('B', 1, char[24])),
              std::make_tuple(0x80204200ul, 0x40184201ul, 0x80204200ul, 0x40184201ul));
}

TEST(KernelAbi, GettidIsTheThreadIdSystemCall)
{
#if defined(__aarch64__)
    EXPECT_EQ(SYS_gettid, 178);
#elif defined(__x86_64__)
    EXPECT_EQ(SYS_gettid, 186);
#endif
    // Single-threaded, as the daemon is, it is the process id; only a real
    // gettid tells another thread apart.
    EXPECT_EQ(syscall(SYS_gettid), static_cast<long>(getpid()));
    long otherThread = 0;
    std::thread([&otherThread] { otherThread = syscall(SYS_gettid); }).join();
    EXPECT_GT(otherThread, 0);
    EXPECT_NE(otherThread, static_cast<long>(getpid()));
}

} // namespace
