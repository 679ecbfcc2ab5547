#include <scsi/sg.h>

#include <cstring>

#include "scsi/ScsiTestKit.h"

namespace {

using Kind = SimDisk::Kind;

// Keeps a copy of each header as SendSgIo filled it, then answers it.
class HeaderTap : public SimDisk {
public:
    using SimDisk::SimDisk;
    int HandleIoctl(unsigned long request, void* argument) override
    {
        std::memcpy(&seen, argument, sizeof(seen));
        return SimDisk::HandleIoctl(request, argument);
    }
    sg_io_hdr seen{};
};

TEST_F(ScsiOnSimDisk, SendSgIoFillsTheHeaderAsTheDriverExpects)
{
    HeaderTap tap(Kind::Scsi);
    unsigned char data[8] = {};
    ModeBuffer buffer{sizeof(data), data};
    const unsigned char caching[2] = {0x08, 0};
    ASSERT_EQ(scsi.SendModeSense(Attach(&tap), 0, caching, &buffer, SCSI_FORM_TEN_BYTE), 0);
    const sg_io_hdr& h = tap.seen;
    EXPECT_EQ(std::make_tuple(h.interface_id, h.dxfer_direction, h.cmd_len, h.mx_sb_len, h.dxfer_len, h.timeout),
              std::make_tuple('S', SG_DXFER_FROM_DEV, 10, 64, 8u, 30000u));
    EXPECT_EQ(h.dxferp, data);
    EXPECT_EQ(h.iovec_count + h.flags + h.pack_id, 0);
}

// A layer that passes the drive's status on under NO SENSE.
std::function<void(SimDisk&)> NoSense(unsigned char status)
{
    return [status](SimDisk& d) {
        d.setFeaturesFault = true;
        d.setFeaturesFaultKey = 0;
        d.setFeaturesFaultStatus = status;
    };
}

// How SendSgIo judges a completed command: ATA SET FEATURES with and without
// the ATA status excuse (sense byte 21), and a plain SYNCHRONIZE CACHE(10).
TEST_F(ScsiOnSimDisk, SendSgIoJudgesStatusHostAndDriverCodes)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    enum Command { ATA16, ATA16_UNCHECKED, SYNC10 };
    const char* refused = "[WARNING][SG IO excute failed 1 0 8.]";
    const struct {
        const char* name;
        Kind kind;
        std::function<void(SimDisk&)> setup;
        Command command;
        const char* message;  // nullptr: succeeds, nothing logged
    } cases[] = {
        // ATA status 0x50 excuses the CHECK CONDITION that CK_COND asks for.
        {"driver status 0x18 counts as sense", Kind::Sata, [](SimDisk& d) { d.driverSuggestion = 0x10; }, ATA16,
         nullptr},
        {"ATA status 0x51", Kind::Sata, [](SimDisk& d) { d.setFeaturesAborts = true; }, ATA16, refused},
        // ABORTED COMMAND with DRDY, DF and DSC: a device fault, not done.
        {"ABORTED COMMAND, status 0x70", Kind::Sata, [](SimDisk& d) { d.setFeaturesFault = true; }, ATA16,
         refused},
        // NO SENSE is no excuse unless the drive is ready and clear: a data
        // request (DRQ), busy (BSY), a device fault (DF), or no DRDY at all.
        {"NO SENSE, status 0x58", Kind::Sata, NoSense(0x58), ATA16, refused},
        {"NO SENSE, status 0xD0", Kind::Sata, NoSense(0xd0), ATA16, refused},
        {"NO SENSE, status 0x60", Kind::Sata, NoSense(0x60), ATA16, refused},
        {"NO SENSE, status 0x00", Kind::Sata, NoSense(0x00), ATA16, refused},
        {"NO SENSE, status 0x50", Kind::Sata, NoSense(0x50), ATA16, nullptr},
        {"no ATA excuse asked for", Kind::Sata, [](SimDisk&) {}, ATA16_UNCHECKED, refused},
        // Byte 21 of the buffer is not sense data here: 18 bytes were written.
        {"refused, fixed-format sense", Kind::Scsi, [](SimDisk&) {}, ATA16, refused},
        {"refused, descriptor-format sense", Kind::Scsi, [](SimDisk& d) { d.descriptorSense = true; }, ATA16,
         refused},
        {"host status alone", Kind::Scsi, [](SimDisk& d) { d.hostStatus = 0x07; }, SYNC10,
         "[WARNING][SG IO excute failed 0 7 0.]"},
        {"ioctl fails", Kind::Scsi, [](SimDisk& d) { d.sgIoErrno = EINVAL; }, SYNC10,
         "[ERROR][send sg IO failed -1.]"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        log.Clear();
        SimDisk disk(test.kind);
        test.setup(disk);
        int fd = Attach(&disk);
        Bytes cdb = ScsiFixture("cdbs.hex").at("ata16");
        unsigned char sense[64] = {};
        SgRequest request{cdb.data(), 16, SG_DXFER_NONE, nullptr, 0, sense, 64, 0};
        int result = test.command == SYNC10  ? scsi.SendSyncCache(fd, SCSI_FORM_TEN_BYTE)
                     : test.command == ATA16 ? scsi.AtaSetFeatures(fd, 0x82, ATA_FORM_SIXTEEN_BYTE)
                                             : scsi.SendSgIo(fd, &request, false);
        EXPECT_EQ(result, test.message == nullptr ? 0 : 1);
        EXPECT_EQ(log.Messages(), test.message == nullptr ? std::vector<std::string>{}
                                                          : std::vector<std::string>{test.message});
    }
}

// A disk that does not answer gets the first command of an operation and
// nothing after it through the same object, whatever the fallbacks would
// send, and nothing is logged (the step reports the disk once). A flush asks
// for 60 s (a read's 30 s: the header test above).
TEST_F(ScsiOnSimDisk, ATimedOutCommandClosesTheGate)
{
    SimDisk disk(Kind::Scsi);
    disk.answers = false;
    const int fd = Attach(&disk);
    EXPECT_EQ(scsi.SyncCache(fd), 1);
    EXPECT_NE(scsi.SetWriteCache(fd, 0), 0);
    ASSERT_EQ(disk.received.size(), 1u);
    EXPECT_EQ(disk.received[0].timeoutMs, 60000u);
    EXPECT_TRUE(scsi.Gate().timedOut && !scsi.Gate().answered);
    EXPECT_EQ(log.Text(), "");
}

// The simulated disk refuses what a strict device refuses, or the tables
// above would pass with parameter lists real disks reject.
TEST_F(ScsiOnSimDisk, SimDiskRejectsReservedAndUnchangeableFields)
{
    const struct {
        const char* name;
        size_t offset;  // byte of the valid select10_bd8 list to change
        unsigned char value;
        int asc;  // 0: accepted
    } cases[] = {
        {"valid list", 0, 0x00, 0},
        {"mode data length not zero", 1, 0x22, 0x26},
        {"device-specific parameter as read", 3, 0x10, 0x26},
        {"PS set as read", 16, 0x88, 0x26},
        {"unchangeable field changed", 20, 0x00, 0x26},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        SimDisk disk(Kind::Scsi);
        Bytes list = ScsiFixture("mode_pages.hex").at("select10_bd8");
        list[test.offset] = test.value;
        Bytes cdb = ScsiFixture("cdbs.hex").at("select10_36");
        unsigned char sense[32] = {};
        SgRequest request{cdb.data(), 10, SG_DXFER_TO_DEV, list.data(), 36, sense, 32, 0};
        EXPECT_EQ(scsi.SendSgIo(Attach(&disk), &request, false), test.asc == 0 ? 0 : 1);
        EXPECT_EQ(sense[12], test.asc);
        EXPECT_EQ(disk.wce, test.asc != 0) << "a refused list changes nothing";
    }
}

} // namespace
