// The refresh: when the inventory is rebuilt and which device each OSD gets.
// The OSD root is a real directory; "/dev" is faked except end to end.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>

#include "support/FakePrivilege.h"
#include "support/OsdHost.h"
#include "support/LogCapture.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"
#include "sys/Status.h"

namespace {

class OsdRefreshTest : public testing::Test {
protected:
    void SetUp() override { FakePrivilege::Reset(); }

    std::string BlockOf(char fsid) const
    {
        for (const OsdInfo& info : map.OsdInfoList()) {
            if (info.fsid == OsdTree::Fsid(fsid)) {
                return info.block;
            }
        }
        return "no record";
    }

    OsdTree tree;
    PvsScript pvs;
    OsdHostMap map{tree.Root()};
};

TEST_F(OsdRefreshTest, RebuildsExactlyWhenEitherListChanges)
{
    using Dev = std::pair<std::string, unsigned char>;
    const struct {
        const char* what;
        std::function<void()> change;
        int result;
        bool rebuilt;
        size_t records;
    } steps[] = {
        {"nothing there", [] {}, 0, false, 0},
        {"an OSD appears", [&] { tree.AddOsd("ceph-0", "filestore", OsdTree::Fsid('a')); }, 0, true, 1},
        {"no change", [] {}, 0, false, 1},
        {"a bcache device appears", [&] { map.devEntries = {Dev("bcache0", DT_BLK)}; }, 0, true, 1},
        {"another one", [&] { map.devEntries.push_back(Dev("bcache1", DT_BLK)); }, 0, true, 1},
        {"same devices, other order", [&] { std::swap(map.devEntries[0], map.devEntries[1]); }, 0, true, 1},
        {"only entries that are not kept",
         [&] {
             map.devEntries.push_back(Dev("bcache", DT_BLK));
             map.devEntries.push_back(Dev("bcache5", DT_CHR));
             map.devEntries.push_back(Dev("bcache6", DT_LNK));
             map.devEntries.push_back(Dev("sda", DT_BLK));
         },
         0, false, 1},
        {"an OSD appears while /dev fails",
         [&] {
             tree.AddOsd("ceph-1", "kvstore", OsdTree::Fsid('b'));
             map.devError = EACCES;
         },
         -1, false, 1},
        {"/dev back, change already saved", [&] { map.devError = 0; }, 0, false, 1},
        {"the first OSD is removed", [&] { tree.Remove("ceph-0"); }, 0, true, 1},
    };
    for (const auto& step : steps) {
        step.change();
        map.rootOpens = 0;
        EXPECT_EQ(step.result, map.RefreshOsdInfo()) << step.what;
        EXPECT_EQ(step.rebuilt ? 2 : 1, map.rootOpens) << step.what;
        EXPECT_EQ(step.records, map.OsdInfoList().size()) << step.what;
    }
    EXPECT_EQ("no record", BlockOf('a'));
    EXPECT_EQ(ENGINE_KVSTORE, map.OsdInfoList().at(0).engineType);
    EXPECT_EQ((std::vector<std::string>{"bcache1", "bcache0"}), map.Devs());
}

TEST_F(OsdRefreshTest, ListsOnlyRealDirectoriesWithAFsid)
{
    tree.AddOsd("ceph-0", "filestore", OsdTree::Fsid('a'));
    tree.AddOsd(".ceph-1", "filestore", OsdTree::Fsid('b'));
    tree.AddOsd("ceph-2", "filestore", "short");
    tree.AddFile("ceph-3", OsdTree::Fsid('c'));
    tree.AddLink("ceph-4", tree.Path("ceph-0"));
    tree.AddLink("ceph-5", tree.Path("ceph-0"));
    // A probe that fails still counts in the fsid list.
    tree.AddOsd("ceph-6", "bluestore", OsdTree::Fsid('d'));
    ASSERT_EQ(0, map.RefreshOsdInfo());
    std::vector<std::string> fsids = map.Fsids();
    std::sort(fsids.begin(), fsids.end());
    EXPECT_EQ((std::vector<std::string>{OsdTree::Fsid('a'), OsdTree::Fsid('d')}), fsids);
    ASSERT_EQ(1u, map.OsdInfoList().size());
    EXPECT_EQ(OsdTree::Fsid('a'), map.OsdInfoList()[0].fsid);

    OsdHostMap noSlash(tree.Root().substr(0, tree.Root().size() - 1));
    EXPECT_EQ(-1, noSlash.RefreshOsdInfo());
    EXPECT_EQ(0, noSlash.rootOpens);
}

TEST_F(OsdRefreshTest, RaisesPrivilegeAroundEachPassOverTheRoot)
{
    tree.AddOsd("ceph-0", "filestore", OsdTree::Fsid('a'));
    const struct {
        const char* what;
        bool setuidFails;
        bool seteuidFails;
        int rootError;
        int result;
        std::vector<std::string> calls;
    } cases[] = {
        {"listing and rebuild", false, false, 0, 0,
         {"setuid(0)", "seteuid(1000)", "setuid(0)", "seteuid(1000)"}},
        {"no setuid", true, false, 0, -1, {"setuid(0)"}},
        {"no way back", false, true, 0, ERR_PRIVILEGE, {"setuid(0)", "seteuid(1000)"}},
        {"root unreadable, no way back", false, true, EIO, ERR_PRIVILEGE, {"setuid(0)", "seteuid(1000)"}},
    };
    for (const auto& c : cases) {
        FakePrivilege::Reset();
        g_privilege.euid = 1000;
        g_privilege.setuidFails = c.setuidFails;
        g_privilege.seteuidFails = c.seteuidFails;
        OsdHostMap fresh(tree.Root());
        fresh.rootError = c.rootError;
        EXPECT_EQ(c.result, fresh.RefreshOsdInfo()) << c.what;
        EXPECT_EQ(c.calls, g_privilege.calls) << c.what;
    }
}

TEST_F(OsdRefreshTest, GivesEachDeviceToTheFirstOsdWholeNamingIt)
{
    const struct {
        const char* blockLink;
        int32_t engineType;
        const char* block;
    } records[] = {
        {"/dev/my-ceph-vg1/osd-block-9", ENGINE_BLUESTORE, ""},
        {"/dev/bcache10", ENGINE_BLUESTORE, "bcache10"},
        {"/dev/bcache1", ENGINE_BLUESTORE, "bcache1"},
        {"/dev/bcache2p1", ENGINE_BLUESTORE, "bcache2"},
        {"/dev/bcache3", ENGINE_FILESTORE, ""},
        {"/dev/ceph-vg10/osd-block-1", ENGINE_BLUESTORE, "bcache5"},
        // A volume group on two devices goes to its first OSD, the later
        // device winning; its second OSD gets nothing.
        {"/dev/ceph-vg1/osd-block-1", ENGINE_BLUESTORE, "bcache6"},
        {"/dev/ceph-vg1/osd-block-2", ENGINE_BLUESTORE, ""},
        {"/dev/sdc", ENGINE_BLUESTORE, ""},
    };
    for (const auto& r : records) {
        OsdInfo info;
        info.engineType = r.engineType;
        info.blockLink = r.blockLink;
        map.Records().push_back(info);
    }
    pvs.SetReport("  /dev/bcache4  ceph-vg1  lvm2 a--  10.00g 0 \n"
                  "  /dev/bcache5  ceph-vg10 lvm2 a--  10.00g 0 \n"
                  "  /dev/bcache6  ceph-vg1  lvm2 a--  10.00g 0 \n");
    pvs.SetVolumeGroup("bcache4", "  ceph-vg1\n");
    pvs.SetVolumeGroup("bcache5", "  ceph-vg10\n");
    pvs.SetVolumeGroup("bcache6", "  ceph-vg1\n");
    for (const char* dev : {"bcache1", "bcache10", "bcache2", "bcache3", "bcache4", "bcache5", "bcache6"}) {
        map.ResolveBlockDev(dev);
    }
    for (size_t i = 0; i < std::size(records); ++i) {
        EXPECT_EQ(records[i].block, map.OsdInfoList()[i].block) << records[i].blockLink;
    }
}

TEST(OsdEndToEnd, InventoryOfASimulatedHost)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    FakePrivilege::Reset();
    LogCapture log;
    ScratchMount dev("/dev");
    ASSERT_TRUE(log.ok() && dev.ok());
    for (const char* name : {"bcache0", "bcache1", "dm-0", "nvme0n1p1", "nvme0n1p2", "nvme0n1p3", "sda"}) {
        ASSERT_TRUE(MakeDeviceNode("/dev/" + std::string(name), S_IFBLK));
    }
    ASSERT_TRUE(MakeDeviceNode("/dev/bcache9", S_IFCHR));
    ASSERT_EQ(0, mkdir("/dev/ceph-vg1", 0755));
    ASSERT_EQ(0, symlink("../dm-0", "/dev/ceph-vg1/osd-block-1"));
    PvsScript pvs;
    pvs.SetReport("  PV           VG       Fmt  Attr PSize  PFree\n"
                  "  /dev/bcache1 ceph-vg1 lvm2 a--  10.00g    0 \n");
    pvs.SetVolumeGroup("bcache1", "  ceph-vg1\n");

    OsdTree tree;
    tree.AddBluestore("ceph-0", OsdTree::Fsid('0'), "/dev/bcache0", "/dev/nvme0n1p1", "");
    tree.AddBluestore("ceph-1", OsdTree::Fsid('1'), "/dev/ceph-vg1/osd-block-1", "/dev/nvme0n1p2",
                      "/dev/nvme0n1p3");
    // DB on the data device: no record, so its disk keeps its write cache.
    tree.AddBluestore("ceph-6", OsdTree::Fsid('6'), "/dev/sda", "", "");
    const char* types[] = {"filestore\n", "kvstore\n", "memstore\n", "seastore\n"};
    for (int i = 0; i < 4; ++i) {
        std::string number = std::to_string(i + 2);
        tree.AddOsd("ceph-" + number, types[i], OsdTree::Fsid(number[0]));
    }
    const struct {
        char fsid;
        int32_t engineType;
        std::string fields;  // block, blockLink, dbLink, walLink
    } expected[] = {
        {'0', ENGINE_BLUESTORE, "bcache0 /dev/bcache0 /dev/nvme0n1p1 "},
        {'1', ENGINE_BLUESTORE, "bcache1 /dev/ceph-vg1/osd-block-1 /dev/nvme0n1p2 /dev/nvme0n1p3"},
        {'2', ENGINE_FILESTORE, "   "}, {'3', ENGINE_KVSTORE, "   "},
        {'4', ENGINE_MEMSTORE, "   "}, {'5', ENGINE_UNKNOWN, "   "},
    };
    OsdInfoMap map(tree.Root());
    for (size_t removed = 0; removed < 2; ++removed) {
        ASSERT_EQ(0, map.RefreshOsdInfo());
        std::map<char, const OsdInfo*> records;
        for (const OsdInfo& info : map.OsdInfoList()) {
            records[info.fsid[0]] = &info;
        }
        ASSERT_EQ(std::size(expected) - removed, records.size());
        for (const auto& e : expected) {
            if (e.fsid == '0' && removed == 1) {
                EXPECT_EQ(0u, records.count('0'));
                continue;
            }
            const OsdInfo& info = *records.at(e.fsid);
            EXPECT_EQ(e.engineType, info.engineType);
            EXPECT_EQ(e.fields, info.block + " " + info.blockLink + " " + info.dbLink + " " + info.walLink);
        }
        tree.Remove("ceph-0");
    }
    std::string text = log.Text();
    size_t first = text.find("[INFO][UpdateOsdInfoList succeed]");
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, text.find("[INFO][UpdateOsdInfoList succeed]", first + 1));
}

} // namespace
