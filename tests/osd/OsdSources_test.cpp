// The inventory's sources beside the OSD directories: ceph-volume's tags in
// LVM's report, bluestore labels in block 0 of the devices, Rook's
// directories; how they merge into one record per OSD, what the change check
// notices of them, and that no secret they hold gets out. Devices are files
// under the tree, each holding its block 0; "/dev" is faked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>

#include "report/ReportFormat.h"
#include "writecache/PublishedView.h"
#include "support/FakePrivilege.h"
#include "support/HexFixture.h"
#include "support/LogCapture.h"
#include "support/OsdHost.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"

namespace {

const std::string A = OsdTree::Fsid('a'), B = OsdTree::Fsid('b'), C = OsdTree::Fsid('c'), D = OsdTree::Fsid('d'),
                  E = OsdTree::Fsid('e'), F = OsdTree::Fsid('f');
const std::string LOCKBOX = "AQDlockboxSecretOfTheEncryptedOsd==", KEY = "AQDosdKeyOfTheRawOsdItMustStayIn==";

class OsdSourcesTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(log.ok());
        FakePrivilege::Reset();
        map.devPath = tree.Path("dev/");
        map.sysPath = tree.Path("sys");
        tree.AddFile("osd/.keep", "");
    }
    // Block devices of the fake /dev, each with an empty block 0.
    void Devices(std::initializer_list<const char*> names)
    {
        for (const char* name : names) {
            map.devEntries.emplace_back(name, DT_BLK);
            tree.AddFile(std::string("dev/") + name, std::string(BLOCK0_SIZE, '\0'));
        }
    }
    const OsdInfo* Find(const std::string& fsid) const
    {
        for (const OsdInfo& info : map.OsdInfoList()) {
            if (info.fsid == fsid) {
                return &info;
            }
        }
        return nullptr;
    }
    bool Rebuilt()
    {
        map.rootOpens = 0;
        EXPECT_EQ(0, map.RefreshOsdInfo());
        return map.rootOpens == 2;
    }

    LogCapture log;
    OsdTree tree;
    PvsScript pvs;
    OsdHostMap map{tree.Path("osd/"), std::string(), tree.Path("rook/")};
};

TEST(BluestoreLabel, ReadsWhatCephWroteAndRefusesAnyFlaw)
{
    std::string error;
    auto fixture = LoadHexFixture(QUELVAR_TEST_DATA_DIR "/labels/labels.hex", &error);
    ASSERT_EQ(2u, fixture.size()) << error;
    // Each case changes the block ceph-osd wrote; `crc` writes the CRC
    // again, so that only the change itself can refuse it.
    const struct {
        const char* what;
        const char* block;
        std::function<void(Bytes&)> change;
        bool crc;
        int result;
        LabelRole role;
        const char* whoami;
    } cases[] = {
        {"main, as written", "main", [](Bytes&) {}, false, 0, LabelRole::Main, "1"},
        {"DB, as written", "db", [](Bytes&) {}, false, 0, LabelRole::Db, ""},
        {"a byte of the record", "main", [](Bytes& b) { b[100] ^= 1; }, false, -1, LabelRole::Main, ""},
        {"the stored CRC", "db", [](Bytes& b) { b[66 + b[62] + 256 * b[63]] ^= 1; }, false, -1, LabelRole::Db, ""},
        {"the text line", "main", [](Bytes& b) { b[0] = 'B'; }, true, -1, LabelRole::Main, ""},
        {"uuid text unlike the raw uuid", "main", [](Bytes& b) { b[24] ^= 1; }, true, -1, LabelRole::Main, ""},
        {"a newer layout it cannot read", "main", [](Bytes& b) { b[61] = 3; }, true, -1, LabelRole::Main, ""},
        {"a newer layout that keeps this one", "main", [](Bytes& b) { b[60] = 3; }, true, 0, LabelRole::Main, "1"},
        {"a length past the block", "main", [](Bytes& b) { b[63] = 0x10; }, false, -1, LabelRole::Main, ""},
        {"a block cut short after the head", "main", [](Bytes& b) { b.resize(68); }, false, -1, LabelRole::Main, ""},
    };
    for (const auto& c : cases) {
        Bytes block = fixture.at(c.block);
        block.resize(BLOCK0_SIZE, 0);
        c.change(block);
        const size_t end = 66 + block[62] + 256u * block[63];
        if (c.crc) {
            const uint32_t crc = Crc32c(0xFFFFFFFF, block.data(), end);
            std::memcpy(block.data() + end, &crc, sizeof(crc));
        }
        BluestoreLabel label;
        EXPECT_EQ(c.result, ParseBluestoreLabel(block.data(), block.size(), label)) << c.what;
        EXPECT_TRUE(c.result != 0 || (label.role == c.role && label.whoami == c.whoami &&
                                      label.osdUuid == "f21bd91e-23b8-4929-822b-0c139aa3f486"))
            << c.what;
    }
    for (size_t sector : {0, 1, 3, 4}) {
        Bytes block(BLOCK0_SIZE, 0);
        std::memcpy(&block[512 * sector], "LABELONE", 8);
        std::memcpy(&block[512 * sector + 24], "LVM2 001", 8);
        EXPECT_EQ(sector < 4, HasLvmLabel(block.data(), block.size())) << sector;
    }
}

TEST(LvmReport, TakesFourFieldsARowAndNoSecret)
{
    LvmReport report;
    ParseLvmReport({"  /dev/bcache0;vg;LV-1;ceph.type=block,ceph.cephx_lockbox_secret=" + LOCKBOX, "  /dev/sdb;;;",
                    "  /dev/sdc;vg;LV-2", "  /dev/sdd;vg;LV-3;a=b;c", "  /dev/;vg;;", "  /dev/sd e;vg;;",
                    "  WARNING: a note on standard output", "  /dev/sdf;vg;;" + std::string(4090, 'x')},
                   report);
    ASSERT_EQ(2u, report.size()) << "four fields, a device, no blank, nothing the runner may have cut";
    EXPECT_EQ("bcache0 vg LV-1", report[0].dev + " " + report[0].vg + " " + report[0].lvUuid);
    EXPECT_EQ("sdb", report[1].dev);
    const auto tags = ParseLvTags(report[0].lvTags + ",ceph.db_uuid=,novalue,ceph.osd_id=3=4");
    EXPECT_EQ(tags, (std::map<std::string, std::string>{{"ceph.type", "block"}, {"ceph.db_uuid", ""}, {"ceph.osd_id", "3=4"}}));
}

TEST_F(OsdSourcesTest, EachSourceYieldsItsOsdsAndTheDirectoryCounts)
{
    Devices({"bcache0", "bcache1", "bcache2", "bcache3", "bcache4", "bcache5", "bcache5p1", "nvme0n1p1", "nvme0n1p2"});
    tree.AddLvmLabel("dev/bcache0");
    tree.AddLvmLabel("dev/bcache1");
    pvs.SetReport("  /dev/bcache0;ceph-a;LV-A;ceph.type=block,ceph.osd_fsid=" + A +
                  ",ceph.osd_id=3,ceph.block_device=/dev/ceph-a/osd-block,ceph.db_uuid=LV-DB,"
                  "ceph.db_device=/dev/ceph-db/db0,ceph.cephx_lockbox_secret=" + LOCKBOX + "\n"
                  "  /dev/bcache1;ceph-b;LV-B;ceph.type=block,ceph.osd_fsid=" + B + ",ceph.osd_id=4,ceph.db_uuid=\n"
                  "  /dev/nvme0n1p1;ceph-db;LV-DB;ceph.type=db,ceph.osd_fsid=" + A + "\n"
                  "  /dev/sdq;ceph-q;LV-Q;ceph.type=block,ceph.osd_fsid=" + F + ",ceph.db_uuid=x\n");
    tree.AddLabel("dev/bcache2", "main", C, "1", KEY);
    tree.AddLabel("dev/nvme0n1p2", "bluefs db", C);
    tree.AddLabel("dev/bcache3", "main", D, "2", KEY);
    tree.AddLabel("dev/bcache5p1", "main", E, "5", KEY);
    tree.AddLabel("dev/bcache4", "bluefs db", E);
    // D's directory says its DB lies elsewhere; no label does. C's Rook
    // directory is met half-filled, then agrees with its labels.
    tree.AddBluestore("osd/ceph-2", D, tree.Path("dev/bcache3"), tree.Path("dev/nvme0n1p1"), "");
    const std::string rook = "rook/rook-ceph/" + OsdTree::Fsid('9') + "_" + C;
    tree.AddBluestore(rook, C, tree.Path("dev/bcache2"), "", "");
    tree.AddOsd("rook/rook-ceph/crash", "bluestore", C);
    ASSERT_TRUE(Rebuilt());
    EXPECT_EQ("the sources of OSD " + D + " disagree on its DB", map.Incomplete()) << "looked at again";
    tree.AddLink(rook + "/block.db", tree.Path("dev/nvme0n1p2"));
    ASSERT_TRUE(Rebuilt());

    const struct {
        const std::string& fsid;
        const char* sources;
        bool separateDb;
        std::vector<std::string> devices;
        const char* id;
    } want[] = {
        {A, "LVM tags", true, {"bcache0"}, "3"},          {B, "LVM tags", false, {"bcache1"}, "4"},
        {C, "Rook directory+label", true, {"bcache2"}, "1"}, {D, "directory+label", true, {"bcache3"}, "2"},
        {E, "label", true, {"bcache5"}, "5"},
    };
    ASSERT_EQ(std::size(want), map.OsdInfoList().size());
    for (const auto& w : want) {
        const OsdInfo* info = Find(w.fsid);
        ASSERT_NE(nullptr, info) << w.fsid;
        EXPECT_EQ(w.sources, OsdSourceNames(info->sources)) << w.fsid;
        EXPECT_EQ(w.separateDb, info->blockLink != info->dbLink) << w.fsid;
        EXPECT_EQ(w.devices, info->bcacheDevices) << w.fsid;
        EXPECT_EQ(w.devices.front(), info->block) << w.fsid;
        EXPECT_EQ(w.id, info->osdId) << w.fsid;
    }
    const std::string warning = "[WARNING][OSD " + D + ": label: no DB on another device; directory " +
                                tree.Path("osd/ceph-2") + ": a DB on another device; the directory counts]";
    Devices({"dm-0"});
    ASSERT_TRUE(Rebuilt()) << "a new block device";
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), warning)) << "said once, and only once it stayed";
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                  return line.find("[WARNING][OSD ") != std::string::npos;
              })) << "no word of the directory that was being filled";

    HostReport report;
    for (const OsdInfo& info : map.OsdInfoList()) {
        DeviceRow row;
        row.device = info.block;
        row.osds = {info};
        report.rows.push_back(row);
    }
    const std::string view = FormatView(ViewHeader(), report);
    for (const std::string& out :
         {log.Text(), view, FormatText(report), FormatJson(report), FormatPrometheus(report)}) {
        EXPECT_EQ(std::string::npos, out.find(LOCKBOX));
        EXPECT_EQ(std::string::npos, out.find(KEY));
    }
    // The report the daemon's view serves names each OSD's id and sources.
    HostReport served;
    ViewHeader header;
    ASSERT_EQ(0, ParseView(view, header, served));
    EXPECT_NE(std::string::npos, FormatText(served).find("3 (bluestore, LVM tags)"));
}

TEST_F(OsdSourcesTest, NoticesANewLabelVolumeOrRookDirectoryButNotAnOsdAtWork)
{
    Devices({"bcache0", "bcache1", "nvme0n1p1"});
    tree.AddBluestore("osd/ceph-0", A, tree.Path("dev/bcache0"), tree.Path("dev/nvme0n1p1"), "");
    // A writer through the node moves its times (the bed's kernel did for
    // LVM's metadata and for labels); a read does not.
    auto written = [&](const char* dev) { utimensat(AT_FDCWD, tree.Path(dev).c_str(), nullptr, 0); };
    const std::string tagged = "  /dev/bcache1;v;L;ceph.type=block,ceph.osd_fsid=" + C + "\n";
    const struct {
        const char* what;
        std::function<void()> change;
        bool rebuilt;
        size_t records;
    } steps[] = {
        {"first pass", [] {}, true, 1},
        {"steady", [] {}, false, 1},
        {"the OSD writes its own device", [&] { written("dev/bcache0"); }, false, 1},
        {"a label on the unused device", [&] { tree.AddLabel("dev/bcache1", "main", B); }, true, 2},
        {"LVM over it, a volume tagged", [&] { pvs.SetReport(tagged); tree.AddLvmLabel("dev/bcache1"); }, true, 2},
        {"LVM fails: the tags are kept", [&] { pvs.SetFailing(true); written("dev/bcache1"); }, true, 2},
        {"LVM answers: tried again", [&] { pvs.SetFailing(false); }, true, 2},
        {"its volume is activated", [&] { Devices({"dm-0"}); }, true, 2},
        {"a Rook directory appears", [&] { tree.AddOsd("rook/ns/" + OsdTree::Fsid('9') + "_" + D, "filestore", D); }, true, 3},
        {"steady again", [] {}, false, 3},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(step.rebuilt, Rebuilt()) << step.what;
        EXPECT_EQ(step.records, map.OsdInfoList().size()) << step.what;
    }
}

TEST_F(OsdSourcesTest, ADeviceThatNeverAnswersHoldsOneRebuildForItsBoundOnly)
{
    struct HangingDevice : OsdHostMap {
        using OsdHostMap::OsdHostMap;
        int advised = 0;
        int opened = 0;
        int closed = 0;
        bool answers = false;
        static bool IsHanging(int fd)
        {
            char link[64];
            char path[4096] = {};
            std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
            return readlink(link, path, sizeof(path) - 1) > 0 && std::strstr(path, "bcache1") != nullptr;
        }
        int Open(const char* path, int flags, unsigned int mode) override
        {
            opened += std::strstr(path, "bcache1") != nullptr ? 1 : 0;
            return OsdHostMap::Open(path, flags, mode);
        }
        int Close(int fd) override
        {
            closed += IsHanging(fd) ? 1 : 0;
            return OsdHostMap::Close(fd);
        }
        ssize_t ReadAt(int fd, void* buffer, int count, off_t offset, int flags) override
        {
            if (!answers && IsHanging(fd)) {
                errno = EAGAIN;
                return -1;
            }
            return OsdHostMap::ReadAt(fd, buffer, count, offset, flags);
        }
        int Advise(int fd, off_t offset, off_t length, int advice) override
        {
            ++advised;
            return OsdHostMap::Advise(fd, offset, length, advice);
        }
    } hanging(tree.Path("osd/"));
    hanging.devPath = tree.Path("dev/");
    hanging.devEntries = {{"bcache0", DT_BLK}, {"bcache1", DT_BLK}};
    tree.AddLabel("dev/bcache0", "main", A);
    tree.AddFile("dev/bcache1", std::string(BLOCK0_SIZE, '\0'));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, hanging.RefreshOsdInfo());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), BLOCK0_WAIT_MS);
    EXPECT_LT(took.count(), 3 * BLOCK0_WAIT_MS);
    EXPECT_EQ(1, hanging.advised) << "readahead asked for once, the descriptor kept";
    EXPECT_EQ("block 0 of bcache1 could not be read yet", hanging.Incomplete());
    ASSERT_EQ(1u, hanging.OsdInfoList().size());
    EXPECT_EQ(A, hanging.OsdInfoList()[0].fsid);
    // Its last close would wait for the read in flight: the descriptor is
    // kept, and the next rebuild reads through it, then closes it.
    EXPECT_EQ(0, hanging.closed);
    hanging.answers = true;
    EXPECT_EQ(0, hanging.RefreshOsdInfo());
    EXPECT_EQ(1, hanging.opened);
    EXPECT_EQ(1, hanging.closed);
    EXPECT_EQ("", hanging.Incomplete());
}

} // namespace
