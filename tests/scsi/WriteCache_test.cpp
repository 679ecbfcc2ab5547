#include <functional>

#include "scsi/ScsiTestKit.h"

namespace {

using Kind = SimDisk::Kind;
using DiskSetup = std::function<void(SimDisk&)>;

// Stage one's reads and attempts before the mode-page stages on a disk that
// takes neither HDIO_SET_WCACHE nor ATA pass-through.
const std::vector<std::string> READ10_ATA_REFUSED = {"mode_sense10_alloc8", "mode_sense10_alloc36",
                                                     "HDIO_SET_WCACHE 0", "ata16_disable_wc", "ata12_disable_wc"};

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& more)
{
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

struct SwitchCase {
    const char* name;
    Kind kind;
    DiskSetup setup;
    int result;
    bool wceAfter;
    std::vector<std::string> sent;
    const char* selectList;  // fixture in mode_pages.hex of the last MODE SELECT, if any
};

const SwitchCase SWITCH_CASES[] = {
    {"cache already off, read with MODE SENSE(10)", Kind::Scsi, [](SimDisk& d) { d.wce = false; }, -1, false,
     {"mode_sense10_alloc8", "mode_sense10_alloc36"}, nullptr},
    {"cache already off, read with MODE SENSE(6)", Kind::Scsi,
     [](SimDisk& d) {
         d.wce = false;
         d.unsupportedOpcodes = {0x5a, 0x55};
     },
     -1, false, {"mode_sense10_alloc8", "mode_sense6_alloc4", "mode_sense6_alloc32"}, nullptr},
    {"HDIO_SET_WCACHE accepted", Kind::Sata, [](SimDisk& d) { d.acceptHdioSetWcache = true; }, 0, false,
     {"mode_sense10_alloc8", "mode_sense10_alloc36", "HDIO_SET_WCACHE 0", "mode_sense10_alloc8",
      "mode_sense10_alloc36"},
     nullptr},
    {"ATA(16) answers status 0x50", Kind::Sata, [](SimDisk&) {}, 0, false,
     {"mode_sense10_alloc8", "mode_sense10_alloc36", "HDIO_SET_WCACHE 0", "ata16_disable_wc",
      "mode_sense10_alloc8", "mode_sense10_alloc36"},
     nullptr},
    {"ATA(16) refused, ATA(12) accepted", Kind::Sata, [](SimDisk& d) { d.unsupportedOpcodes = {0x85}; }, 0, false,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36"}), nullptr},
    // Fixed-format ATA sense holds no status at byte 21: both pass-throughs
    // count as failed, and the mode page read shows the cache already off.
    {"SET FEATURES done, ATA registers in fixed-format sense", Kind::Sata,
     [](SimDisk& d) { d.ataFixedSense = true; }, 0, false,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36"}), nullptr},
    {"SET FEATURES aborted (status 0x51), switched by MODE SELECT(10)", Kind::Sata,
     [](SimDisk& d) { d.setFeaturesAborts = true; }, 0, false,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36", "mode_select10_len36"}),
     "select10_sata_bd8"},
    {"SCSI disk, saveable page, 8 bytes of block descriptors", Kind::Scsi, [](SimDisk&) {}, 0, false,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36", "mode_select10_len36"}),
     "select10_bd8"},
    {"SCSI disk without block descriptors", Kind::Scsi, [](SimDisk& d) { d.blockDescriptorLength = 0; }, 0, false,
     {"mode_sense10_alloc8", "mode_sense10_alloc28", "HDIO_SET_WCACHE 0", "ata16_disable_wc", "ata12_disable_wc",
      "mode_sense10_alloc8", "mode_sense10_alloc28", "mode_select10_len28"},
     "select10_bd0"},
    {"only six-byte mode commands", Kind::Scsi, [](SimDisk& d) { d.unsupportedOpcodes = {0x5a, 0x55}; }, 0, false,
     {"mode_sense10_alloc8", "mode_sense6_alloc4", "mode_sense6_alloc32", "HDIO_SET_WCACHE 0", "ata16_disable_wc",
      "ata12_disable_wc", "mode_sense10_alloc8", "mode_sense6_alloc4", "mode_sense6_alloc32",
      "mode_select6_len32"},
     "select6_bd8"},
    {"MODE SELECT(10) refused, MODE SELECT(6) accepted", Kind::Scsi,
     [](SimDisk& d) { d.unsupportedOpcodes = {0x55}; }, 0, false,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36", "mode_select10_len36",
                               "mode_sense6_alloc4", "mode_sense6_alloc32", "mode_select6_len32"}),
     "select6_bd8"},
    // 8 + 8 + 20 + 8156 bytes of a vendor page: exactly the 8192 allowed.
    {"mode data of 8192 bytes", Kind::Scsi, [](SimDisk& d) { d.vendorPageLength = 8156; }, 0, false,
     {"mode_sense10_alloc8", "mode_sense10_alloc8192", "HDIO_SET_WCACHE 0", "ata16_disable_wc", "ata12_disable_wc",
      "mode_sense10_alloc8", "mode_sense10_alloc8192", "mode_select10_len8192"},
     nullptr},
    // One byte more: the ten-byte read is refused after its header pass.
    {"mode data of 8193 bytes", Kind::Scsi, [](SimDisk& d) { d.vendorPageLength = 8157; }, 0, false,
     {"mode_sense10_alloc8", "mode_sense6_alloc4", "mode_sense6_alloc32", "HDIO_SET_WCACHE 0", "ata16_disable_wc",
      "ata12_disable_wc", "mode_sense10_alloc8", "mode_sense6_alloc4", "mode_sense6_alloc32",
      "mode_select6_len32"},
     "select6_bd8"},
    // A 12-byte Caching page: too short in both forms, so nothing is selected.
    {"Caching page too short", Kind::Scsi, [](SimDisk& d) { d.cachingPageLength = 0x0a; }, 1, true,
     {"mode_sense10_alloc8", "mode_sense10_alloc28", "mode_sense6_alloc4", "mode_sense6_alloc24",
      "mode_sense10_alloc8", "mode_sense10_alloc28", "mode_sense6_alloc4", "mode_sense6_alloc24"},
     nullptr},
    // The result follows MODE SELECT's status; the guard looks again next pass.
    {"device ignores MODE SELECT", Kind::Scsi, [](SimDisk& d) { d.ignoreModeSelect = true; }, 0, true,
     Then(READ10_ATA_REFUSED, {"mode_sense10_alloc8", "mode_sense10_alloc36", "mode_select10_len36"}),
     "select10_bd8"},
};

TEST_F(ScsiOnSimDisk, SetWriteCacheSendsExactlyTheExpectedCommands)
{
    for (const SwitchCase& test : SWITCH_CASES) {
        SCOPED_TRACE(test.name);
        SimDisk disk(test.kind);
        test.setup(disk);
        int fd = Attach(&disk);

        EXPECT_EQ(scsi.SetWriteCache(fd, 0), test.result);
        EXPECT_EQ(disk.wce, test.wceAfter);
        EXPECT_EQ(Received(disk), test.sent);
        if (test.selectList != nullptr) {
            EXPECT_EQ(ToHex(disk.received.back().dataOut), ToHex(ScsiFixture("mode_pages.hex").at(test.selectList)));
        }
        EXPECT_TRUE(disk.savedWce) << "MODE SELECT is sent with SP clear";
        EXPECT_EQ(scsi.Close(fd), 0);
    }
}

TEST_F(ScsiOnSimDisk, ModeSenseLengthChecksAreLogged)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const struct {
        const char* name;
        DiskSetup setup;
        std::vector<std::string> messages;
    } cases[] = {
        {"8193 bytes announced", [](SimDisk& d) { d.vendorPageLength = 8157; },
         {"[ERROR][bufferLen exceeds: 8193!]"}},
        // No page: ten-byte total 8, six-byte total 4, both refused.
        {"header without a page",
         [](SimDisk& d) {
             d.cachingPageLength = 0;
             d.blockDescriptorLength = 0;
         },
         {"[WARNING][bufferLen invalied!]", "[WARNING][bufferLen invalied!]"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_TRUE(log.ok());
        log.Clear();
        SimDisk disk(Kind::Scsi);
        test.setup(disk);
        int fd = Attach(&disk);
        int wce = -1;
        (void)scsi.GetWriteCache(fd, 0, &wce);
        EXPECT_EQ(log.Messages(), test.messages);
    }
}

TEST_F(ScsiOnSimDisk, SyncCacheFallsBackToSixteenBytes)
{
    const struct {
        std::set<unsigned char> unsupported;
        int result;
        std::vector<std::string> sent;
    } cases[] = {
        {{}, 0, {"sync_cache10"}},
        {{0x35}, 0, {"sync_cache10", "sync_cache16"}},
        {{0x35, 0x91}, 1, {"sync_cache10", "sync_cache16"}},
    };
    for (const auto& test : cases) {
        SimDisk disk(Kind::Scsi);
        disk.unsupportedOpcodes = test.unsupported;
        EXPECT_EQ(scsi.SyncCache(Attach(&disk)), test.result);
        EXPECT_EQ(Received(disk), test.sent);
    }

    // A unit attention left by the switch itself (scsi_debug after MODE
    // SELECT, when no rescan took it up) fails the first command only.
    SimDisk disk(Kind::Scsi);
    disk.unitAttentionAfterModeSelect = true;
    int fd = Attach(&disk);
    EXPECT_EQ(scsi.SetWriteCache(fd, 0), 0);
    EXPECT_EQ(scsi.SyncCache(fd), 0);
    EXPECT_FALSE(disk.wce);
}

} // namespace
