#include <scsi/sg.h>

#include <cstring>

#include "scsi/ScsiTestKit.h"

namespace {

using Kind = SimDisk::Kind;

// Keeps a copy of each header as SendSgIo filled it, then lets the disk answer.
class HeaderTap : public IoctlDevice {
public:
    explicit HeaderTap(SimDisk* target) : disk(target) {}
    int HandleIoctl(unsigned long request, void* argument) override
    {
        std::memcpy(&seen, argument, sizeof(seen));
        return disk->HandleIoctl(request, argument);
    }
    SimDisk* disk;
    sg_io_hdr seen{};
};

TEST_F(ScsiOnSimDisk, SendSgIoFillsTheHeaderAsTheDriverExpects)
{
    SimDisk disk(Kind::Scsi);
    HeaderTap tap(&disk);
    scsi.devices["/dev/sdb"] = &tap;
    int fd = scsi.Open("/dev/sdb", O_RDONLY, 0);
    unsigned char data[8] = {};
    ModeBuffer buffer{sizeof(data), data};
    const unsigned char caching[2] = {0x08, 0};

    ASSERT_EQ(scsi.SendModeSense(fd, 0, caching, &buffer, SCSI_FORM_TEN_BYTE), 0);
    const sg_io_hdr& h = tap.seen;
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(h.cmd_len, 10);
    EXPECT_EQ(h.mx_sb_len, 64);
    EXPECT_EQ(h.dxfer_len, 8u);
    EXPECT_EQ(h.dxferp, data);
    EXPECT_EQ(h.timeout, 60000u);
    EXPECT_EQ(h.iovec_count + h.flags + h.pack_id, 0);
    EXPECT_EQ(h.usr_ptr, nullptr);
    EXPECT_EQ(ToHex(Bytes(data, data + 8)), "00 22 00 10 00 00 00 08") << "mode data header as returned";
}

// How SendSgIo judges a completed command, for an ATA SET FEATURES sent with
// and without the ATA status excuse, and for a plain command.
TEST_F(ScsiOnSimDisk, SendSgIoJudgesStatusHostAndDriverCodes)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    enum Command { ATA16, ATA16_UNCHECKED, SYNC10 };
    const struct {
        const char* name;
        Kind kind;
        std::function<void(SimDisk&)> setup;
        Command command;
        int result;
        const char* message;  // nullptr: nothing logged
    } cases[] = {
        {"good status", Kind::Scsi, [](SimDisk&) {}, SYNC10, 0, nullptr},
        {"ATA status 0x50 excuses CHECK CONDITION", Kind::Sata, [](SimDisk&) {}, ATA16, 0, nullptr},
        {"driver status 0x18 counts as sense", Kind::Sata, [](SimDisk& d) { d.driverSuggestion = 0x10; }, ATA16, 0,
         nullptr},
        {"ATA status 0x51", Kind::Sata, [](SimDisk& d) { d.setFeaturesAborts = true; }, ATA16, 1,
         "[WARNING][SG IO excute failed 1 0 8.]"},
        {"CHECK CONDITION without the ATA excuse", Kind::Sata, [](SimDisk&) {}, ATA16_UNCHECKED, 1,
         "[WARNING][SG IO excute failed 1 0 8.]"},
        // Byte 21 of the buffer is not sense data here: 18 bytes were written.
        {"pass-through refused with fixed-format sense", Kind::Scsi, [](SimDisk&) {}, ATA16, 1,
         "[WARNING][SG IO excute failed 1 0 8.]"},
        {"pass-through refused with descriptor-format sense", Kind::Scsi,
         [](SimDisk& d) { d.descriptorSense = true; }, ATA16, 1, "[WARNING][SG IO excute failed 1 0 8.]"},
        {"host status alone fails", Kind::Scsi, [](SimDisk& d) { d.hostStatus = 0x07; }, SYNC10, 1,
         "[WARNING][SG IO excute failed 0 7 0.]"},
        {"ioctl fails", Kind::Scsi, [](SimDisk& d) { d.sgIoErrno = EINVAL; }, SYNC10, 1,
         "[ERROR][send sg IO failed -1.]"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_TRUE(log.ok());
        log.Clear();
        SimDisk disk(test.kind);
        test.setup(disk);
        int fd = Attach(&disk);

        int result = 0;
        if (test.command == SYNC10) {
            result = scsi.SendSyncCache(fd, SCSI_FORM_TEN_BYTE);
        } else if (test.command == ATA16) {
            result = scsi.AtaSetFeatures(fd, 0x82, ATA_FORM_SIXTEEN_BYTE);
        } else {
            Bytes cdb = ScsiFixture("cdbs.hex").at("ata16_disable_wc");
            unsigned char sense[64] = {};
            SgRequest request{cdb.data(), 16, SG_DXFER_NONE, nullptr, 0, sense, 64, 0};
            result = scsi.SendSgIo(fd, &request, false);
        }
        EXPECT_EQ(result, test.result);
        EXPECT_EQ(log.Messages(), test.message == nullptr ? std::vector<std::string>{}
                                                          : std::vector<std::string>{test.message});
    }
}

} // namespace
