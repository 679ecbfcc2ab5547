// The simulated disk must refuse what a strict device refuses, or the write
// cache tests would pass against parameter lists real disks reject.
#include <scsi/sg.h>

#include <cerrno>
#include <utility>

#include "scsi/ScsiTestKit.h"

namespace {

struct Answer {
    int status;
    int key;
    int asc;
};

Answer ModeSelect10(SimDisk& disk, Bytes list, unsigned char byte1 = 0x10)
{
    unsigned char cdb[10] = {0x55, byte1, 0, 0, 0, 0, 0, static_cast<unsigned char>(list.size() >> 8),
                             static_cast<unsigned char>(list.size()), 0};
    unsigned char sense[32] = {};
    sg_io_hdr header{};
    header.interface_id = 'S';
    header.dxfer_direction = SG_DXFER_TO_DEV;
    header.cmd_len = sizeof(cdb);
    header.cmdp = cdb;
    header.dxfer_len = static_cast<unsigned>(list.size());
    header.dxferp = list.data();
    header.mx_sb_len = sizeof(sense);
    header.sbp = sense;
    EXPECT_EQ(disk.HandleIoctl(SG_IO, &header), 0);
    return {header.status, sense[2], sense[12]};
}

TEST(SimDisk, ModeSelectRejectsReservedAndUnchangeableFields)
{
    const Bytes valid = ScsiFixture("mode_pages.hex").at("select10_bd8");
    const struct {
        const char* name;
        size_t offset;  // byte of the valid list to change
        unsigned char value;
        int asc;        // 0: accepted
    } cases[] = {
        {"valid list", 0, 0x00, 0},
        {"mode data length not zero", 1, 0x22, 0x26},
        {"device-specific parameter as read (DPOFUA)", 3, 0x10, 0x26},
        {"PS set as read", 16, 0x88, 0x26},
        {"page length wrong", 17, 0x0a, 0x26},
        {"unchangeable field changed", 20, 0x00, 0x26},
        {"block length changed", 14, 0x10, 0x26},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        SimDisk disk(SimDisk::Kind::Scsi);
        Bytes list = valid;
        list[test.offset] = test.value;
        Answer answer = ModeSelect10(disk, list);
        EXPECT_EQ(answer.status, test.asc == 0 ? 0 : 2);
        EXPECT_EQ(answer.asc, test.asc);
        EXPECT_EQ(disk.wce, test.asc != 0) << "a refused list changes nothing";
    }

    SimDisk sata(SimDisk::Kind::Sata);
    Answer saved = ModeSelect10(sata, ScsiFixture("mode_pages.hex").at("select10_sata_bd8"), 0x11);
    EXPECT_EQ(saved.key, 0x05);
    EXPECT_EQ(saved.asc, 0x24) << "SP on a page that cannot be saved";
}

TEST(SimDisk, StateSurvivesSaveAndLoadAndSavedValuesPowerCycle)
{
    SimDisk disk(SimDisk::Kind::Scsi);
    disk.wce = false;
    const std::string state = disk.Save();
    EXPECT_EQ(state, "wce=0 savedWce=1");

    SimDisk other(SimDisk::Kind::Scsi);
    EXPECT_TRUE(other.Load(state));
    EXPECT_FALSE(other.wce);
    EXPECT_FALSE(other.Load("wce=2 savedWce=1"));
    other.PowerCycle();
    EXPECT_TRUE(other.wce) << "an unsaved change is lost at power-on";
}

TEST(SimDisk, AnswersAsTheRealKernelsDrivers)
{
    // HDIO_SET_WCACHE: libata refuses with ENOTTY, SCSI host drivers EINVAL.
    for (auto [kind, expected] : {std::pair{SimDisk::Kind::Sata, ENOTTY}, std::pair{SimDisk::Kind::Scsi, EINVAL}}) {
        SimDisk disk(kind);
        errno = 0;
        EXPECT_EQ(disk.HandleIoctlValue(0x32b, 0), -1);
        EXPECT_EQ(errno, expected);
        EXPECT_TRUE(disk.wce);
    }

    // scsi_debug reports MODE PARAMETERS CHANGED once after a MODE SELECT.
    SimDisk disk(SimDisk::Kind::Scsi);
    disk.unitAttentionAfterModeSelect = true;
    Answer select = ModeSelect10(disk, ScsiFixture("mode_pages.hex").at("select10_bd8"));
    EXPECT_EQ(select.status, 0);
    EXPECT_EQ(disk.Save(), "wce=0 savedWce=1 ua=1");
    Answer next = ModeSelect10(disk, ScsiFixture("mode_pages.hex").at("select10_bd8"));
    EXPECT_EQ(next.status, 2);
    EXPECT_EQ(next.key, 0x06);
    EXPECT_EQ(next.asc, 0x2a);
    EXPECT_EQ(ModeSelect10(disk, ScsiFixture("mode_pages.hex").at("select10_bd8")).status, 0);
}

} // namespace
