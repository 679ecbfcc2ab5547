// The OSD inventory: the command runner and the LVM lookup against a
// scripted pvs, the probe of one directory, when the inventory is rebuilt,
// which OSDs it keeps and which device each OSD gets. The OSD root is a real
// directory under /tmp; "/dev" is faked.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>

#include "support/FakeKernel.h"
#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "support/OsdHost.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"
#include "sys/Status.h"

namespace {

const std::string FSID = OsdTree::Fsid('a');

class OsdInventoryTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(log.ok());
        FakePrivilege::Reset();
    }

    int Probe(OsdInfo* info) { return map.ProbeOsdDir(tree.Root(), "ceph-0", info); }

    LogCapture log;
    OsdTree tree;
    PvsScript pvs;
    OsdHostMap map{tree.Root()};
};

TEST_F(OsdInventoryTest, AsksLvmOnceForEveryVolumeAndItsGroup)
{
    pvs.SetReport("  /dev/sdb1;ceph-vg1;;\n"
                  "  /dev/sdc;;;\n"
                  "  WARNING: something on standard output\n"
                  "  /dev/mapper/crypt-1;ceph-vg2;;\n"
                  "  /dev/sd.x;ceph-vg3;;\n");
    const struct {
        const char* dev;
        bool listed;
        int result;
        const char* vg;
    } cases[] = {
        {"sdb1", true, 0, "ceph-vg1"},
        {"sdb", false, -1, "kept"},          // not a physical volume itself
        {"sdc", true, -1, "kept"},           // a volume in no group
        {"mapper/crypt-1", true, 0, "ceph-vg2"},
        {"sd.x", true, -1, "kept"},          // the character rule on device names
    };
    OsdComFun lvm;
    for (const auto& c : cases) {
        std::string vg = "kept";
        EXPECT_EQ(c.listed, lvm.IsPhysicalVolume(c.dev)) << c.dev;
        EXPECT_EQ(c.result, lvm.GetVolumeGroup(c.dev, vg)) << c.dev;
        EXPECT_EQ(c.vg, vg);
    }
    const std::vector<std::string> calls = pvs.Calls();
    ASSERT_EQ(calls.size(), 9u) << "one run per question, none for a name the rule refuses";
    EXPECT_EQ(calls[0], "--readonly --noheadings --separator ; -o pv_name,vg_name,lv_uuid,lv_tags");
    pvs.SetFailing(true);
    LvmReport report;
    EXPECT_EQ(LVM_FAILED, lvm.ReadLvmReport(report)) << "a pvs that exits with an error is no answer";
}

TEST(OsdListChanged, ComparesCountOrderAndBytes)
{
    EXPECT_FALSE(ListChanged({"bcache0", "bcache1"}, {"bcache0", "bcache1"}));
    EXPECT_TRUE(ListChanged({"bcache0", "bcache1"}, {"bcache1", "bcache0"}));
    EXPECT_TRUE(ListChanged({}, {"bcache0"}));
    EXPECT_TRUE(ListChanged({"bcache0"}, {}));
    EXPECT_TRUE(ListChanged({"bcache0"}, {"bcache01"}));
}

TEST_F(OsdInventoryTest, BluestoreLinksAreReadAsStoredAndWalMayBeAbsent)
{
    enum Change { KEEP, REMOVE, DANGLE, PLAIN_FILE };
    const struct {
        const char* link;
        Change change;
        int result;
        const char* links;  // block, db and wal as read
    } cases[] = {
        {"block", KEEP, 0, "../dev/vg/lv ../dev/db ../dev/wal"},
        {"block.wal", REMOVE, 0, "../dev/vg/lv ../dev/db "},
        {"block.wal", DANGLE, -1, ""},
        {"block.db", REMOVE, 0, "../dev/vg/lv ../dev/vg/lv ../dev/wal"},  // the DB inside the block device
        {"block", PLAIN_FILE, -1, ""},
    };
    for (const char* dev : {"dev/disk", "dev/db", "dev/wal"}) {
        tree.AddFile(dev, "");
    }
    tree.AddLink("dev/vg/lv", "../disk");  // a logical volume is itself a link
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.link) + " " + std::to_string(c.change));
        const std::string at = std::string("ceph-0/") + c.link;
        tree.Remove("ceph-0");
        tree.AddBluestore("ceph-0", FSID, "../dev/vg/lv", "../dev/db", "../dev/wal");
        if (c.change != KEEP) {
            tree.Remove(at);
        }
        if (c.change == DANGLE) {
            tree.AddLink(at, "../dev/gone");
        } else if (c.change == PLAIN_FILE) {
            tree.AddFile(at, "not a link");
        }
        OsdInfo info;
        EXPECT_EQ(c.result, Probe(&info));
        EXPECT_TRUE(c.result != 0 || info.blockLink + " " + info.dbLink + " " + info.walLink == c.links);
    }
    EXPECT_NE(std::string::npos, log.Text().find("[ERROR][readlink " + tree.Path("ceph-0/block") +
                                                 " error:22 Invalid argument]"));
    OsdInfo info;
    EXPECT_EQ(-1, map.ProbeOsdDir(tree.Root(), std::string(4090, 'x'), &info)) << "path too long";
}

TEST(OsdLinkText, TakesExactlyTheBytesReadlinkReturned)
{
    // readlink leaves the rest of the buffer as it was; nothing says zero.
    struct DirtyBuffer : OsdInfo {
        int Access(const char*, int) override { return 0; }
        ssize_t ReadLink(const char*, char* buffer, int size) override
        {
            std::memset(buffer, 'X', static_cast<size_t>(size));
            std::memcpy(buffer, "/dev/bcache0", 12);
            return 12;
        }
    } info;
    EXPECT_EQ(0, info.ReadBluestoreLinks("/var/lib/ceph/osd/", "ceph-0"));
    EXPECT_EQ("/dev/bcache0", info.blockLink);
}

// Entries the unprivileged owner of an OSD directory could plant in place of
// "type" or "fsid": each must be refused, promptly.
TEST_F(OsdInventoryTest, HostileTypeOrFsidIsRefusedWithoutBlocking)
{
    const struct {
        const char* what;
        std::function<bool(const std::string&)> plant;
    } kinds[] = {
        {"fifo", [&](const std::string& at) { tree.AddFifo(at); return true; }},
        {"8 GiB without a newline",
         [&](const std::string& at) { tree.AddSparseFile(at, 8LL << 30); return true; }},
        {"long line",
         [&](const std::string& at) { tree.AddFile(at, std::string(5000, 'x') + "\n"); return true; }},
        {"device node", [&](const std::string& at) { return tree.AddZeroDevice(at); }},
        // Even to a good file: a link swapped in after the check could lead anywhere.
        {"link to a regular file",
         [&](const std::string& at) {
             tree.AddFile("elsewhere", at.find("type") != std::string::npos ? std::string("filestore\n") : FSID + "\n");
             tree.AddLink(at, tree.Path("elsewhere"));
             return true;
         }},
    };
    for (const auto& kind : kinds) {
        for (const char* file : {"ceph-0/type", "ceph-0/fsid"}) {
            tree.Remove("ceph-0");
            tree.AddOsd("ceph-0", "filestore", FSID);
            tree.Remove(file);
            if (!kind.plant(file)) {
                GTEST_SKIP() << "mknod refused, the device node case needs root";
            }
            OsdInfo info;
            EXPECT_EQ(-1, RunWithDeadline([&] { return Probe(&info); }, 10)) << kind.what << " as " << file;
        }
    }
}

TEST_F(OsdInventoryTest, RebuildsExactlyWhenEitherListChanges)
{
    // Entries never listed: were any kept, the first pass would rebuild.
    using Dev = std::pair<std::string, unsigned char>;
    map.devEntries = {Dev("bcache", DT_BLK), Dev("bcache5", DT_CHR), Dev("bcache6", DT_LNK),
                      Dev("sda", DT_BLK)};
    tree.AddOsd(".ceph-4", "filestore", OsdTree::Fsid('e'));
    tree.AddOsd("ceph-5", "filestore", OsdTree::Fsid('f') + "\r\n");
    tree.AddOsd("ceph-6", "filestore", OsdTree::Fsid('g').substr(1));
    tree.AddFile("ceph-7", OsdTree::Fsid('h'));
    tree.AddLink("ceph-8", tree.Path("ceph-0"));  // a second record once ceph-0 is there, if followed
    const struct {
        const char* what;
        std::function<void()> change;
        int result;
        bool rebuilt;
        size_t records;
    } steps[] = {
        {"nothing to keep", [] {}, 0, false, 0},
        {"an OSD appears", [&] { tree.AddOsd("ceph-0", "filestore", OsdTree::Fsid('a')); }, 0, true, 1},
        {"no change", [] {}, 0, false, 1},
        {"a bcache device appears", [&] { map.devEntries.emplace_back("bcache0", DT_BLK); }, 0, true, 1},
        {"an OSD of unknown type appears while /dev fails",
         [&] {
             tree.AddOsd("ceph-1", "bluestore \n", OsdTree::Fsid('b'));
             map.devError = EACCES;
         },
         -1, false, 1},
        {"/dev gone", [&] { map.devAccessError = ENOENT; }, -1, false, 1},
        // Nothing was kept from the passes that could not list /dev.
        {"/dev back, the change still news", [&] { map.devError = map.devAccessError = 0; }, 0, true, 2},
        {"the first OSD is removed", [&] { tree.Remove("ceph-0"); }, 0, true, 1},
    };
    for (const auto& step : steps) {
        step.change();
        map.rootOpens = 0;
        EXPECT_EQ(step.result, map.RefreshOsdInfo()) << step.what;
        EXPECT_EQ(step.rebuilt ? 2 : 1, map.rootOpens) << step.what;
        EXPECT_EQ(step.records, map.OsdInfoList().size()) << step.what;
    }
    // Kept with its links unread: a bluestore probe would have refused it.
    EXPECT_EQ(ENGINE_UNKNOWN, map.OsdInfoList().at(0).engineType);
}

TEST_F(OsdInventoryTest, RaisesPrivilegeAroundEachPassOverTheRoot)
{
    tree.AddOsd("ceph-0", "filestore", OsdTree::Fsid('a'));
    const std::string root = tree.Root();
    const std::vector<std::string> both = {"setuid(0)", "seteuid(1000)"};
    const struct {
        const char* what;
        std::string root;
        uid_t euid;
        bool setuidFails;
        bool seteuidFails;
        int rootError;
        int result;
        std::vector<std::string> calls;
    } cases[] = {
        {"root", root, 0, false, false, 0, 0, {}},
        {"listing and rebuild", root, 1000, false, false, 0, 0, {both[0], both[1], both[0], both[1]}},
        {"no setuid", root, 1000, true, false, 0, -1, {"setuid(0)"}},
        {"no way back", root, 1000, false, true, 0, ERR_PRIVILEGE, both},
        {"root unreadable, no way back", root, 1000, false, true, EIO, ERR_PRIVILEGE, both},
        {"no trailing slash", root.substr(0, root.size() - 1), 1000, false, false, 0, -1, {}},
        {"root missing", root + "gone/", 1000, false, false, 0, -1, {}},
    };
    for (const auto& c : cases) {
        FakePrivilege::Reset();
        g_privilege.euid = c.euid;
        g_privilege.setuidFails = c.setuidFails;
        g_privilege.seteuidFails = c.seteuidFails;
        OsdHostMap fresh(c.root);
        fresh.rootError = c.rootError;
        EXPECT_EQ(c.result, fresh.RefreshOsdInfo()) << c.what;
        EXPECT_EQ(c.calls, g_privilege.calls) << c.what;
    }
}

// Where the block stack cannot answer: the link's text, by whole
// components, and the volume groups of the LVM report. Never a partition of
// a bcache device, and never one record's device taken from another.
TEST_F(OsdInventoryTest, TiesWhatTheLinkNamesToEveryDeviceItNames)
{
    map.devList = {"bcache1", "bcache10", "bcache2", "bcache3", "bcache4", "bcache5", "bcache6p1", "bcache6", "bcachep1"};
    LvmReport lvm;
    for (const char* pv : {"bcache4 ceph-vg1", "bcache6p1 ceph-vg1", "bcache5 ceph-vg10", "sdq ceph-vg1", "bcache.4 ceph-vg1"}) {
        const std::string row = pv;
        lvm.push_back({row.substr(0, row.find(' ')), row.substr(row.find(' ') + 1), "", ""});
    }
    const std::pair<const char*, std::vector<std::string>> records[] = {  // block link, devices
        {"/dev/my-ceph-vg1/osd-block-9", {}},
        {"/dev/bcache10", {"bcache10"}},
        {"/dev/bcache1", {"bcache1"}},
        {"/dev/bcache2p1", {"bcache2"}},
        {"/dev/bcache6p1", {"bcache6"}},
        {"/dev/bcache3p", {}},
        {"/dev/bcachep1", {"bcachep1"}},  // a device of its own, no partition
        {"/dev/ceph-vg10/osd-block-1", {"bcache5"}},
        // One volume group over two devices: the report cannot tell which
        // volume lies where, so each of its OSDs guards both.
        {"/dev/ceph-vg1/osd-block-1", {"bcache4", "bcache6"}},
        {"/dev/ceph-vg1/osd-block-2", {"bcache4", "bcache6"}},
    };
    for (const auto& r : records) {
        OsdInfo info;
        info.engineType = ENGINE_BLUESTORE;
        info.blockLink = r.first;
        map.TieByDeviceName(info);
        if (info.bcacheDevices.empty()) {
            map.TieByVolumeGroup(info, lvm);
        }
        EXPECT_EQ(r.second, info.bcacheDevices) << r.first;
    }
}

// However many OSDs only LVM can tie, a rebuild asks it once.
TEST_F(OsdInventoryTest, AsksLvmOnceARebuildForEveryOsdOnAVolumeGroup)
{
    map.devEntries = {{"bcache0", DT_BLK}, {"bcache1", DT_BLK}};
    pvs.SetReport("  /dev/bcache0;vg0;;\n  /dev/bcache1;vg1;;\n");
    tree.AddFile("dev/db", "");
    for (char id : {'0', '1'}) {
        tree.AddFile(std::string("dev/vg") + id + "/lv", "");
        tree.AddBluestore(std::string("ceph-") + id, OsdTree::Fsid(id), tree.Path(std::string("dev/vg") + id + "/lv"),
                          tree.Path("dev/db"), "");
    }
    ASSERT_EQ(0, map.RefreshOsdInfo());
    ASSERT_EQ(2u, map.OsdInfoList().size());
    EXPECT_EQ("bcache0", map.OsdInfoList()[0].block);
    EXPECT_EQ("bcache1", map.OsdInfoList()[1].block);
    EXPECT_EQ(1u, pvs.Calls().size());
}

// A rebuild that found an OSD directory half-filled or pvs not answering is
// tried again; a link or type that changes is news at once.
TEST_F(OsdInventoryTest, HealsAnIncompleteRebuild)
{
    for (const char* dev : {"dev/bcache0", "dev/db", "dev/vg/lv"}) {
        tree.AddFile(dev, "");
    }
    map.devEntries = {{"bcache0", DT_BLK}};
    auto relink = [&](const char* target) {
        tree.Remove("ceph-0/block");
        tree.AddLink("ceph-0/block", target);
    };
    const struct {
        const char* what;
        std::function<void()> change;
        bool rebuilt;
        const char* block;  // nullptr: no record
    } steps[] = {
        {"type and fsid, no links yet", [&] { tree.AddOsd("ceph-0", "bluestore", FSID); }, true, nullptr},
        {"tried again on the next pass", [] {}, true, nullptr},
        {"then after two", [] {}, false, nullptr},
        {"passes", [] {}, true, nullptr},
        {"waiting four now", [] {}, false, nullptr},
        {"the links appear: at once",
         [&] {
             tree.AddLink("ceph-0/block", "../dev/bcache0");
             tree.AddLink("ceph-0/block.db", "../dev/db");
         },
         true, "bcache0"},
        {"complete: left alone", [] {}, false, "bcache0"},
        {"moved to LVM while pvs fails",
         [&] {
             pvs.SetReport("  /dev/bcache0;vg;;\n");
             pvs.SetFailing(true);
             relink("../dev/vg/lv");
         },
         true, ""},
        {"pvs answers on the next pass", [&] { pvs.SetFailing(false); }, true, "bcache0"},
        {"left alone again", [] {}, false, "bcache0"},
        {"the type is rewritten", [&] { tree.AddFile("ceph-0/type", "filestore\n"); }, true, ""},
    };
    for (const auto& step : steps) {
        step.change();
        map.rootOpens = 0;
        EXPECT_EQ(0, map.RefreshOsdInfo()) << step.what;
        EXPECT_EQ(step.rebuilt ? 2 : 1, map.rootOpens) << step.what;
        ASSERT_EQ(step.block != nullptr, map.OsdInfoList().size() == 1) << step.what;
        EXPECT_TRUE(step.block == nullptr || map.OsdInfoList()[0].block == step.block) << step.what;
    }
}

// Of two causes, the first one met is the one the report gives.
TEST_F(OsdInventoryTest, AnIncompleteRebuildGivesItsFirstCause)
{
    tree.AddFile("dev/vg/lv", "");
    tree.AddFile("dev/db", "");
    map.devEntries = {{"bcache0", DT_BLK}};
    tree.AddOsd("ceph-0", "bluestore", FSID);
    tree.AddBluestore("ceph-1", OsdTree::Fsid('b'), "../dev/vg/lv", "../dev/db", "");
    pvs.SetFailing(true);
    EXPECT_EQ(0, map.RefreshOsdInfo());
    EXPECT_EQ(map.Incomplete(), "the OSD directory " + tree.Root() + "ceph-0 could not be read whole");
}

TEST_F(OsdInventoryTest, RetriesAPermanentlyBrokenOsdAtMostOnceAMinute)
{
    tree.AddFile("dev/bcache0", "");
    tree.AddFile("dev/db", "");
    // Its DB on the block device: a complete answer, never retried.
    tree.AddBluestore("ceph-1", OsdTree::Fsid('b'), "../dev/bcache0", "", "");
    std::vector<int> rebuilt;
    for (int pass = 0; pass < 46; ++pass) {
        if (pass == 3) {
            tree.AddBluestore("ceph-0", FSID, "../dev/gone", "../dev/db", "");
        }
        map.rootOpens = 0;
        EXPECT_EQ(0, map.RefreshOsdInfo());
        if (map.rootOpens == 2) {
            rebuilt.push_back(pass);
        }
    }
    // 1, 2, 4, 8 passes apart, then 12: a minute of five-second passes.
    EXPECT_EQ(rebuilt, (std::vector<int>{0, 3, 4, 6, 10, 18, 30, 42}));
    // Retries that find the same as before keep the log quiet.
    EXPECT_EQ(log.Messages(), std::vector<std::string>(2, "[INFO][UpdateOsdInfoList succeed]"));
}

TEST_F(OsdInventoryTest, ADirectoryNamedWithALineEndIsOneEscapedRecord)
{
    const std::string name = "ceph-0\n[2026-01-01 00:00:00][process(1)][INFO][forged";
    tree.AddFile("dev/db", "");
    tree.AddBluestore(name, FSID, "", "../dev/db", "");
    tree.AddFile(name + "/block", "not a link");
    EXPECT_EQ(0, map.RefreshOsdInfo());
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                  "[ERROR][readlink " + tree.Root() +
                                      "ceph-0\\n[2026-01-01 00:00:00][process(1)][INFO][forged/block error:22 "
                                      "Invalid argument]",
                                  "[INFO][UpdateOsdInfoList succeed]"}));
}

} // namespace
