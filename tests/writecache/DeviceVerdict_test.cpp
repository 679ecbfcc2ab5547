#include "writecache/DeviceVerdict.h"

#include <gtest/gtest.h>

namespace
{

DeviceRow Row(bool guarded, int kernel, int disk, int32_t engine = ENGINE_BLUESTORE,
              const char* db = "/dev/sdz1")
{
    DeviceRow row;
    row.device = "bcache0";
    row.disk = "sdb";
    row.kernelMode = kernel;
    row.diskCache = disk;
    row.guarded = guarded;
    if (engine != -1) {
        row.osds.emplace_back();
        row.osds[0].bcacheDevices = {"bcache0"};
        row.osds[0].engineType = engine;
        row.osds[0].blockLink = "/dev/bcache0";
        row.osds[0].dbLink = db;
    }
    return row;
}

constexpr int BACK = WRITE_CACHE_BACK;
constexpr int THROUGH = WRITE_CACHE_THROUGH;
constexpr int UNREADABLE = WRITE_CACHE_UNKNOWN;
constexpr int ON = DISK_CACHE_ON;
constexpr int OFF = DISK_CACHE_OFF;
constexpr int NOT_ASKED = DISK_CACHE_UNKNOWN;

DeviceRow Silent(const char* silence)
{
    DeviceRow row = Row(true, BACK, NOT_ASKED);
    row.silence = silence;
    return row;
}

// The disk's own answer outranks the kernel's view: a disk that turned its
// cache back on behind the kernel's back is the case that loses data. A
// guarded disk that gave no answer is never protected.
TEST(Judge, GivesEachVerdictFromTheFactsThatDecideIt)
{
    DeviceRow noDisk = Row(true, -1, NOT_ASKED);
    noDisk.disk.clear();
    const struct {
        const char* name;
        DeviceRow row;
        bool inventoryRead;
        Verdict verdict;
        const char* reason;
    } rows[] = {
        {"disk says on, kernel says through", Row(true, THROUGH, ON), true, Verdict::Unprotected,
         "the disk reports its write cache on"},
        {"kernel says back, disk did not tell", Row(true, BACK, NOT_ASKED), true, Verdict::Unprotected,
         "the kernel shows write back; the disk did not tell its cache state"},
        {"disk says off", Row(true, THROUGH, OFF), true, Verdict::Protected,
         "the disk reports its write cache off"},
        {"disk says off, kernel not yet rescanned", Row(true, BACK, OFF), true, Verdict::Protected,
         "the disk reports its write cache off; the kernel still shows write back"},
        {"kernel says through, disk did not tell", Row(true, THROUGH, NOT_ASKED), true, Verdict::Unknown,
         "the kernel shows write through, but the disk did not tell its cache state"},
        {"disk timed out", Silent("does not answer: its command timed out"), true, Verdict::Unknown,
         "the disk does not answer: its command timed out"},
        {"disk offline", Silent("cannot take commands: state offline"), true, Verdict::Unknown,
         "the disk cannot take commands: state offline"},
        // An NVMe namespace: the kernel's view is not read, the disk decides.
        {"NVMe says off", Row(true, WRITE_CACHE_NOT_READ, OFF), true, Verdict::Protected,
         "the disk reports its write cache off"},
        {"NVMe says on", Row(true, WRITE_CACHE_NOT_READ, ON), true, Verdict::Unprotected,
         "the disk reports its write cache on"},
        {"nothing readable", Row(true, UNREADABLE, NOT_ASKED), true, Verdict::Unknown,
         "neither the kernel nor the disk told its cache state"},
        {"no backing disk", noDisk, true, Verdict::Unknown, "its backing disk could not be found"},
        {"no OSD", Row(false, BACK, ON, -1), true, Verdict::NotGuarded, "it carries no OSD"},
        {"no OSD seen, inventory unread", Row(false, BACK, ON, -1), false, Verdict::Unknown,
         "the OSD inventory could not be read"},
        {"filestore", Row(false, BACK, ON, ENGINE_FILESTORE), true, Verdict::NotGuarded,
         "its OSD is filestore, not bluestore"},
        {"DB on the block device", Row(false, BACK, ON, ENGINE_BLUESTORE, "/dev/bcache0"), true,
         Verdict::NotGuarded, "its OSD keeps its DB on the same device"},
    };
    for (const auto& test : rows) {
        DeviceRow row = test.row;
        Judge(row, test.inventoryRead);
        EXPECT_EQ(VerdictName(row.verdict), std::string(VerdictName(test.verdict))) << test.name;
        EXPECT_EQ(row.reason, test.reason) << test.name;
    }
}

TEST(ExitStatusOf, UnprotectedOutranksUnknownWhichOutranksProtected)
{
    const struct {
        std::vector<Verdict> verdicts;
        const char* problem;
        int status;
    } rows[] = {
        {{}, "", STATUS_PROTECTED},
        {{Verdict::Protected, Verdict::NotGuarded}, "", STATUS_PROTECTED},
        {{Verdict::Protected, Verdict::Unknown}, "", STATUS_UNKNOWN},
        {{Verdict::Protected}, "could not read /dev", STATUS_UNKNOWN},
        {{Verdict::Unknown, Verdict::Unprotected, Verdict::Protected},
         "could not read /dev",
         STATUS_UNPROTECTED},
    };
    for (const auto& test : rows) {
        HostReport report;
        report.problem = test.problem;
        for (Verdict verdict : test.verdicts) {
            report.rows.emplace_back();
            report.rows.back().verdict = verdict;
        }
        EXPECT_EQ(ExitStatusOf(report), test.status) << test.verdicts.size() << " rows, " << test.problem;
    }
}

} // namespace
