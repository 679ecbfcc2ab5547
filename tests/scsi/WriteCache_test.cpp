#include <algorithm>
#include <functional>

#include "scsi/ScsiTestKit.h"

namespace {

using Kind = SimDisk::Kind;

// Stage one on a disk that takes neither HDIO_SET_WCACHE nor ATA pass-through.
#define REFUSED " hdio0 ata16 ata12 "

// Each row: the commands SetWriteCache(fd, 0) sends, byte for byte against
// cdbs.hex, and the last MODE SELECT's parameter list against mode_pages.hex.
TEST_F(ScsiOnSimDisk, SetWriteCacheSendsExactlyTheExpectedCommands)
{
    const struct {
        const char* name;
        Kind kind;
        std::function<void(SimDisk&)> setup;
        int result;
        const char* sent;
        const char* selectList = nullptr;  // nullptr: not compared
        const char* logged = nullptr;      // nullptr: not checked
    } cases[] = {
        {"already off", Kind::Scsi, [](SimDisk& d) { d.wce = false; }, -1, "sense10_8 sense10_36"},
        {"HDIO_SET_WCACHE accepted", Kind::Sata, [](SimDisk& d) { d.acceptHdioSetWcache = true; }, 0,
         "sense10_8 sense10_36 hdio0 sense10_8 sense10_36"},
        {"ATA(16) refused, ATA(12) accepted", Kind::Sata, [](SimDisk& d) { d.unsupportedOpcodes = {0x85}; }, 0,
         "sense10_8 sense10_36" REFUSED "sense10_8 sense10_36"},
        {"8 bytes of block descriptors", Kind::Scsi, [](SimDisk&) {}, 0,
         "sense10_8 sense10_36" REFUSED "sense10_8 sense10_36 select10_36 peek10_252", "select10_bd8"},
        {"no block descriptors", Kind::Scsi, [](SimDisk& d) { d.blockDescriptorLength = 0; }, 0,
         "sense10_8 sense10_28" REFUSED "sense10_8 sense10_28 select10_28 peek10_252", "select10_bd0"},
        {"MODE SELECT(10) refused", Kind::Scsi, [](SimDisk& d) { d.unsupportedOpcodes = {0x55}; }, 0,
         "sense10_8 sense10_36" REFUSED
         "sense10_8 sense10_36 select10_36 sense6_4 sense6_32 select6_32 peek6_252",
         "select6_bd8"},
        // 8 + 8 + 20 + 8156 bytes of a vendor page: exactly the 8192 allowed.
        {"8192 bytes of mode data", Kind::Scsi, [](SimDisk& d) { d.vendorPageLength = 8156; }, 0,
         "sense10_8 sense10_8192" REFUSED "sense10_8 sense10_8192 select10_8192 peek10_252"},
        // One more: the ten-byte read is refused after its header pass.
        {"8193 bytes, only six-byte commands", Kind::Scsi, [](SimDisk& d) { d.vendorPageLength = 8157; }, 0,
         "sense10_8 sense6_4 sense6_32" REFUSED "sense10_8 sense6_4 sense6_32 select6_32 peek6_252", "select6_bd8",
         "[ERROR][bufferLen exceeds: 8193!]"},
        // What a fuzzed reply taught. 16 of the 36 bytes announced never
        // arrive: the page's zeroed tail must not read as a cache off.
        {"short transfer", Kind::Scsi, [](SimDisk& d) { d.withheldBytes = 16; }, 1,
         "sense10_8 sense10_36 sense6_4 sense6_32 sense10_8 sense10_36 sense6_4 sense6_32"},
        // Page 01h first: WCE is switched in the Caching page behind it, PER
        // (bit 2 of the foreign page's byte 2) is sent back untouched.
        {"foreign first page", Kind::Scsi, [](SimDisk& d) { d.unsolicitedPage = true; }, 0,
         "sense10_8 sense10_48" REFUSED "sense10_8 sense10_48 select10_48 peek10_252", "select10_foreign"},
        {"only a foreign page", Kind::Scsi,
         [](SimDisk& d) {
             d.unsolicitedPage = true;
             d.cachingPageLength = 0;
         },
         1, "sense10_8 sense10_28 sense6_4 sense6_24 sense10_8 sense10_28 sense6_4 sense6_24"},
        {"MODE SELECT accepted and ignored", Kind::Scsi, [](SimDisk& d) { d.ignoreModeSelect = true; }, 1,
         "sense10_8 sense10_36" REFUSED
         "sense10_8 sense10_36 select10_36 peek10_252 sense6_4 sense6_32 select6_32 peek6_252"},
        // The MODE SENSE(6) header announces 256 bytes; 255 are asked for.
        {"256-byte announcement", Kind::Scsi,
         [](SimDisk& d) {
             d.unsupportedOpcodes = {0x5a, 0x55};
             d.vendorPageLength = 224;
             d.wce = false;
         },
         -1, "sense10_8 sense6_4 sense6_255"},
        // A strict disk reports the change to the read-back: asked again,
        // and the expected attention is no failure.
        {"unit attention after MODE SELECT", Kind::Scsi, [](SimDisk& d) { d.unitAttentionAfterModeSelect = true; },
         0, "sense10_8 sense10_36" REFUSED "sense10_8 sense10_36 select10_36 peek10_252 peek10_252",
         "select10_bd8"},
        // A 12-byte Caching page is too short in both forms: nothing selected.
        {"Caching page too short", Kind::Scsi, [](SimDisk& d) { d.cachingPageLength = 0x0a; }, 1,
         "sense10_8 sense10_28 sense6_4 sense6_24 sense10_8 sense10_28 sense6_4 sense6_24"},
        // A page length of 1 ends before the byte that holds WCE: 19 and 15
        // bytes of mode data, refused in both forms.
        {"Caching page of length 1", Kind::Scsi, [](SimDisk& d) { d.cachingPageLength = 1; }, 1,
         "sense10_8 5a 00 08 00 00 00 00 00 13 00 sense6_4 1a 00 08 00 0f 00 "
         "sense10_8 5a 00 08 00 00 00 00 00 13 00 sense6_4 1a 00 08 00 0f 00"},
        // The header promised a page the data then lacked: never read the
        // zeroed rest of the buffer as a cache already off.
        {"six-byte data shorter than its header said", Kind::Scsi,
         [](SimDisk& d) {
             d.unsupportedOpcodes = {0x5a, 0x55};
             d.cachingPageLength = 0;
             d.headerOverstates = 20;
         },
         1, "sense10_8 sense6_4 sense6_32 sense10_8 sense6_4 sense6_32"},
        {"header without a page", Kind::Scsi, [](SimDisk& d) { d.cachingPageLength = d.blockDescriptorLength = 0; },
         1, "sense10_8 sense10_8 sense6_4 sense6_4 sense10_8 sense10_8 sense6_4 sense6_4", nullptr,
         "[WARNING][bufferLen invalied!]"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        log.Clear();
        SimDisk disk(test.kind);
        test.setup(disk);
        int fd = Attach(&disk);

        EXPECT_EQ(scsi.SetWriteCache(fd, 0), test.result);
        EXPECT_EQ(disk.wce, test.result == 1);
        EXPECT_TRUE(disk.savedWce) << "MODE SELECT is sent with SP clear";
        EXPECT_EQ(Received(disk), test.sent);
        if (test.selectList != nullptr) {
            auto select = std::find_if(disk.received.rbegin(), disk.received.rend(),
                                       [](const SimDisk::Exchange& e) { return !e.dataOut.empty(); });
            ASSERT_NE(select, disk.received.rend());
            EXPECT_EQ(ToHex(select->dataOut), ToHex(ScsiFixture("mode_pages.hex").at(test.selectList)));
        }
        if (log.ok()) {
            if (test.logged != nullptr) {
                EXPECT_NE(log.Text().find(test.logged), std::string::npos) << log.Text();
            }
            EXPECT_EQ(log.Text().find("SG IO excute failed 1 0 8.]\n[INFO"), std::string::npos)
                << "an expected unit attention is not logged";
        }
    }
}

TEST_F(ScsiOnSimDisk, SyncCacheFallsBackToSixteenBytes)
{
    const struct {
        std::set<unsigned char> unsupported;
        bool unitAttention;  // as scsi_debug leaves after MODE SELECT
        int result;
        const char* sent;
    } cases[] = {
        {{}, false, 0, "sync10"},
        {{0x35}, false, 0, "sync10 sync16"},
        {{0x35, 0x91}, false, 1, "sync10 sync16"},
        {{}, true, 0, "sync10 sync16"},
    };
    for (const auto& test : cases) {
        SimDisk disk(Kind::Scsi);
        disk.unsupportedOpcodes = test.unsupported;
        disk.unitAttentionPending = test.unitAttention;
        EXPECT_EQ(scsi.SyncCache(Attach(&disk)), test.result);
        EXPECT_EQ(Received(disk), test.sent);
    }
}

} // namespace
