// The kernel interfaces the daemon depends on, checked on the machine the
// test binary runs on. The servers are AArch64, and CI runs this binary
// there under qemu-user as well as natively, so a record or number that
// differs between architectures shows up here rather than in the field.
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/FakePrivilege.h"
#include "support/PrivateMounts.h"
#include "sys/Log.h"

#if __has_include("bcache/BcacheRecords.h")
#include "bcache/BcacheRecords.h"
#define QUELVAR_HAVE_BCACHE_RECORDS 1
#endif

namespace {

// The daemon only runs as a 64-bit process; a 32-bit build would hand the
// 64-bit kernel a header that it reads through its compat layout instead.
static_assert(sizeof(void*) == 8 && sizeof(long) == 8, "the daemon is built LP64 only");
// The bcache records are passed in native byte order, and the tuning policy
// reads them as little-endian fields.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the target is little-endian");

struct FieldLayout {
    const char* name;
    size_t offset;
    size_t size;
    size_t kernelOffset;
    size_t kernelSize;
};

#define FIELD(record, member, offset, size) \
    FieldLayout{#member, offsetof(record, member), sizeof(record::member), offset, size}
#define SG_FIELD(member, offset, size) FIELD(sg_io_hdr, member, offset, size)

// The kernel's struct sg_io_hdr (SG_IO, interface 'S') for a 64-bit caller.
constexpr FieldLayout SG_IO_HDR_LAYOUT[] = {
    SG_FIELD(interface_id, 0, 4),   SG_FIELD(dxfer_direction, 4, 4), SG_FIELD(cmd_len, 8, 1),
    SG_FIELD(mx_sb_len, 9, 1),      SG_FIELD(iovec_count, 10, 2),    SG_FIELD(dxfer_len, 12, 4),
    SG_FIELD(dxferp, 16, 8),        SG_FIELD(cmdp, 24, 8),           SG_FIELD(sbp, 32, 8),
    SG_FIELD(timeout, 40, 4),       SG_FIELD(flags, 44, 4),          SG_FIELD(pack_id, 48, 4),
    SG_FIELD(usr_ptr, 56, 8),       SG_FIELD(status, 64, 1),         SG_FIELD(masked_status, 65, 1),
    SG_FIELD(msg_status, 66, 1),    SG_FIELD(sb_len_wr, 67, 1),      SG_FIELD(host_status, 68, 2),
    SG_FIELD(driver_status, 70, 2), SG_FIELD(resid, 72, 4),          SG_FIELD(duration, 76, 4),
    SG_FIELD(info, 80, 4),
};
#undef SG_FIELD

template <size_t N>
constexpr bool MatchesKernel(const FieldLayout (&fields)[N])
{
    for (const FieldLayout& field : fields) {
        if (field.offset != field.kernelOffset || field.size != field.kernelSize) {
            return false;
        }
    }
    return true;
}

static_assert(MatchesKernel(SG_IO_HDR_LAYOUT), "sg_io_hdr differs from the kernel's layout");

template <size_t N>
void ExpectKernelLayout(const FieldLayout (&fields)[N])
{
    for (const FieldLayout& field : fields) {
        EXPECT_EQ(field.offset, field.kernelOffset) << field.name;
        EXPECT_EQ(field.size, field.kernelSize) << field.name;
    }
}

TEST(KernelAbi, SgIoHeaderHasTheKernelsLayout)
{
    ExpectKernelLayout(SG_IO_HDR_LAYOUT);
    // Trailing padding up to the pointers' alignment: the kernel copies all of it.
    EXPECT_EQ(sizeof(sg_io_hdr), 88u);
}

#ifdef QUELVAR_HAVE_BCACHE_RECORDS
#define STATUS_FIELD(member, offset, size) FIELD(BcacheStatus, member, offset, size)
#define TUNING_FIELD(member, offset, size) FIELD(BcacheTuning, member, offset, size)

// The driver's records: 32 bytes read, 24 bytes written, no padding.
constexpr FieldLayout BCACHE_STATUS_LAYOUT[] = {
    STATUS_FIELD(baseA, 0, 4),     STATUS_FIELD(baseB, 4, 4),    STATUS_FIELD(modeGate, 8, 4),
    STATUS_FIELD(markGate, 16, 8), STATUS_FIELD(percent, 24, 4),
};
constexpr FieldLayout BCACHE_TUNING_LAYOUT[] = {
    TUNING_FIELD(scaledA, 0, 4),       TUNING_FIELD(scaledB, 4, 4),       TUNING_FIELD(lowLevel, 8, 1),
    TUNING_FIELD(veryLowLevel, 9, 1),  TUNING_FIELD(reserved, 10, 1),     TUNING_FIELD(mark, 11, 1),
    TUNING_FIELD(mode, 12, 4),         TUNING_FIELD(lowLevelSize, 16, 4), TUNING_FIELD(fixedLevel, 20, 4),
};
#undef STATUS_FIELD
#undef TUNING_FIELD

TEST(KernelAbi, BcacheRecordsAndRequestsAreTheDrivers)
{
    ExpectKernelLayout(BCACHE_STATUS_LAYOUT);
    ExpectKernelLayout(BCACHE_TUNING_LAYOUT);
    EXPECT_EQ(sizeof(BcacheStatus), 32u);
    EXPECT_EQ(sizeof(BcacheTuning), 24u);
    EXPECT_EQ(BCACHE_IOC_GET_STATUS, 0x80204200ul);
    EXPECT_EQ(BCACHE_IOC_SET_TUNING, 0x40184201ul);
}
#endif
#undef FIELD

TEST(KernelAbi, RequestCodesAndConstantsAreTheKernels)
{
    EXPECT_EQ(SG_IO, 0x2285);
    EXPECT_EQ(HDIO_SET_WCACHE, 0x032b);
    EXPECT_EQ(SG_DXFER_NONE, -1);
    EXPECT_EQ(SG_DXFER_TO_DEV, -2);
    EXPECT_EQ(SG_DXFER_FROM_DEV, -3);
    // The bcache driver's two requests are encoded with this architecture's
    // _IOC layout (direction in the top two bits, then a 14-bit size); the
    // architectures that lay it out differently would not produce these.
    EXPECT_EQ(static_cast<unsigned long>(_IOR('B', 0, char[32])), 0x80204200ul);
    EXPECT_EQ(static_cast<unsigned long>(_IOW('B', 1, char[24])), 0x40184201ul);
}

TEST(KernelAbi, GettidIsTheThreadIdSystemCall)
{
#if defined(__aarch64__)
    EXPECT_EQ(SYS_gettid, 178);
#elif defined(__x86_64__)
    EXPECT_EQ(SYS_gettid, 186);
#endif
    // Single-threaded, as the daemon is: the thread id is the process id.
    EXPECT_EQ(syscall(SYS_gettid), static_cast<long>(getpid()));

    // Only a real gettid tells another thread apart; a wrong number that
    // happened to be getpid would pass the check above.
    long otherThread = 0;
    std::thread probe([&otherThread] { otherThread = syscall(SYS_gettid); });
    probe.join();
    EXPECT_GT(otherThread, 0);
    EXPECT_NE(otherThread, static_cast<long>(getpid()));
}

TEST(KernelAbi, LogLinesCarryTheProcessId)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    FakePrivilege::Reset();
    ScratchMount logRoot("/var/log");
    ASSERT_TRUE(logRoot.ok());
    ASSERT_EQ(PrepareLogDir(), 0);

    WriteLog(LOG_INFO, "abi probe\n");

    std::ifstream log(LOG_FILE);
    std::stringstream text;
    text << log.rdbuf();
    std::string expected = "[process(" + std::to_string(getpid()) + ")][INFO][abi probe]";
    EXPECT_NE(text.str().find(expected), std::string::npos) << text.str();
}

} // namespace
