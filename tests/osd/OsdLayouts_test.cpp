// OSD layouts beyond the classic root and the names in a link: directories
// of container-deployed clusters, and the block stack as the second matcher.
// OSD roots are real directories under /tmp, the block stack a captured
// sysfs tree beside them; "/dev" and the block nodes are faked.
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "support/OsdHost.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"
#include "support/SysfsTree.h"

namespace {

const std::string CLUSTER = OsdTree::Fsid('c');

class OsdLayoutsTest : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_MOUNTS();
        ASSERT_TRUE(log.ok());
        FakePrivilege::Reset();
    }

    std::set<std::string> Fsids() const
    {
        std::set<std::string> fsids;
        for (const OsdInfo& info : map.OsdInfoList()) {
            fsids.insert(info.fsid.substr(0, 1));
        }
        return fsids;
    }

    LogCapture log;
    OsdTree tree;
    PvsScript pvs;
    OsdHostMap map{tree.Path("osd/"), tree.Root()};
};

TEST_F(OsdLayoutsTest, ClusterRootsCountLikeTheClassicOne)
{
    g_privilege.euid = 1000;
    tree.AddOsd("osd/ceph-0", "filestore", OsdTree::Fsid('a'));
    tree.AddOsd(CLUSTER + "/osd.3", "filestore", OsdTree::Fsid('d'));
    tree.AddOsd(CLUSTER + "/osd.12", "filestore", OsdTree::Fsid('e'));
    // Not OSD directories of a cluster: another daemon's, a removed OSD's,
    // one outside a cluster (a UUID with a "g"), a link to a cluster.
    for (const char* name : {"/mon.a", "/osd.4_2026-12-07T10:00:00", "/osd.x", "/osd."}) {
        tree.AddOsd(CLUSTER + name, "filestore", OsdTree::Fsid('1'));
    }
    tree.AddOsd("g" + CLUSTER.substr(1) + "/osd.5", "filestore", OsdTree::Fsid('2'));
    tree.AddLink(OsdTree::Fsid('b'), tree.Path(CLUSTER));
    const std::string missing = "[ERROR][access " + tree.Path("osd/") + " error:2";
    const struct {
        const char* what;
        std::function<void()> change;
        int result;
        std::set<std::string> fsids;
        size_t rebuilds;  // so far
        size_t missingLines;
    } steps[] = {
        {"both roots", [] {}, 0, {"a", "d", "e"}, 1, 0},
        {"no classic root", [&] { tree.Remove("osd"); }, 0, {"d", "e"}, 2, 0},
        {"still none: no line", [] {}, 0, {"d", "e"}, 2, 0},
        {"a cluster removed, no root left", [&] { tree.Remove(CLUSTER); }, -1, {"d", "e"}, 2, 1},
        {"logged again", [] {}, -1, {"d", "e"}, 2, 2},
        {"a new cluster", [&] { tree.AddOsd(OsdTree::Fsid('f') + "/osd.7", "filestore", OsdTree::Fsid('7')); },
         0, {"7"}, 3, 2},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(step.result, map.RefreshOsdInfo()) << step.what;
        EXPECT_EQ(step.fsids, Fsids()) << step.what;
        EXPECT_EQ(step.rebuilds, log.Count("[INFO][UpdateOsdInfoList succeed]")) << step.what;
        EXPECT_EQ(step.missingLines, log.Count(missing)) << step.what;
    }
    EXPECT_EQ(0u, log.Count("[ERROR][opendir"));
    EXPECT_EQ("seteuid(1000)", g_privilege.calls.back()) << "privilege dropped after every pass";
    // Nor kept when the clusters' base cannot be read.
    g_privilege.calls.clear();
    map.baseError = EACCES;
    EXPECT_EQ(-1, map.RefreshOsdInfo());
    EXPECT_EQ(g_privilege.calls, (std::vector<std::string>{"setuid(0)", "seteuid(1000)"}));
    EXPECT_EQ(1u, log.Count("[ERROR][opendir " + tree.Root() + " error:13 Permission denied]"));
}

TEST_F(OsdLayoutsTest, BlockStackTiesWhatNoNameDoes)
{
    LoadSysfsTree(tree, std::string(QUELVAR_TEST_DATA_DIR) + "/sysfs/dmcrypt-over-lvm.tree", "sys/");
    map.sysPath = tree.Path("sys");
    map.devEntries = {{"bcache0", DT_BLK}, {"bcache1", DT_BLK}};
    for (const char* node : {"dev/mapper/crypt", "dev/bcache1", "dev/sdb", "dev/file", "dev/db"}) {
        tree.AddFile(node, "");
    }
    const struct {
        const char* osd;
        const char* block;
        dev_t number;  // 0: stat finds the regular file
        const char* device;
    } osds[] = {
        {"ceph-0", "dev/mapper/crypt", makedev(252, 1), "bcache0"},  // dm-crypt over LVM over bcache0
        {"ceph-1", "dev/bcache1", 0, "bcache1"},                     // no stack: the name counts
        {"ceph-2", "dev/sdb", makedev(8, 16), ""},                   // bcache0's backing disk
        {"ceph-3", "dev/file", 0, ""},                               // a file-backed OSD
    };
    for (const auto& osd : osds) {
        tree.AddBluestore(std::string("osd/") + osd.osd, OsdTree::Fsid(osd.osd[5]), tree.Path(osd.block),
                          tree.Path("dev/db"), "");
        if (osd.number != 0) {
            map.blockNodes[tree.Path("osd/") + osd.osd + "/block"] = osd.number;
        }
    }
    ASSERT_EQ(0, map.RefreshOsdInfo());
    ASSERT_EQ(std::size(osds), map.OsdInfoList().size());
    for (const OsdInfo& info : map.OsdInfoList()) {
        const auto& osd = osds[info.fsid[0] - '0'];
        EXPECT_EQ(osd.device, info.block) << osd.osd;
    }
    EXPECT_EQ(1u, log.Count("[INFO][block stack of " + tree.Path("osd/ceph-0/block") + ": on bcache0]"));
    EXPECT_EQ(1u, log.Count("block stack of")) << "nothing about the others";
    EXPECT_EQ(0u, log.Count("[ERROR]"));
}

// Every disk under an OSD is guarded: an OSD per volume of a shared volume
// group, an OSD on a volume striped over two devices, an OSD on a partition
// listed before its device, a filestore OSD on the file system of a device.
// The stack answers for all of them: LVM is not asked.
TEST_F(OsdLayoutsTest, EveryDeviceUnderAnOsdCarriesIt)
{
    LoadSysfsTree(tree, std::string(QUELVAR_TEST_DATA_DIR) + "/sysfs/spanning-osds.tree", "sys/");
    map.sysPath = tree.Path("sys");
    for (const char* dev : {"bcache0", "bcache1", "bcache2", "bcache3", "bcache4p1", "bcache4", "bcache5"}) {
        map.devEntries.emplace_back(dev, DT_BLK);
    }
    const struct {
        const char* link;  // named after what a name match would wrongly take
        dev_t number;
        std::vector<std::string> devices;
    } osds[] = {
        {"dev/ceph-vg/osd-block-0", makedev(254, 0), {"bcache0"}},
        {"dev/ceph-vg/osd-block-1", makedev(254, 1), {"bcache1"}},
        {"dev/ceph-striped/osd-block-2", makedev(254, 2), {"bcache2", "bcache3"}},
        {"dev/bcache4p1", makedev(252, 5), {"bcache4"}},
        {"", 0, {"bcache5"}},  // filestore
    };
    tree.AddFile("dev/db", "");
    for (char id = '0'; id <= '3'; ++id) {
        const auto& osd = osds[id - '0'];
        tree.AddFile(osd.link, "");
        tree.AddBluestore(std::string("osd/ceph-") + id, OsdTree::Fsid(id), tree.Path(osd.link), tree.Path("dev/db"), "");
        map.blockNodes[tree.Path("osd/ceph-") + id + "/block"] = osd.number;
    }
    tree.AddOsd("osd/ceph-4", "filestore", OsdTree::Fsid('4'));
    map.dirDevices[tree.Path("osd/ceph-4")] = makedev(252, 6);
    tree.AddOsd("osd/ceph-9", "bluestore", OsdTree::Fsid('9'));  // no links yet: the second pass retries
    pvs.SetReport("  /dev/bcache0 ceph-vg\n  /dev/bcache1 ceph-vg\n");
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(0, map.RefreshOsdInfo());
    }
    ASSERT_EQ(5u, map.OsdInfoList().size());
    for (const OsdInfo& info : map.OsdInfoList()) {
        EXPECT_EQ(osds[info.fsid[0] - '0'].devices, info.bcacheDevices) << info.dirName;
        EXPECT_EQ(info.engineType == ENGINE_BLUESTORE ? info.bcacheDevices[0] : "", info.block) << info.dirName;
    }
    EXPECT_TRUE(pvs.Calls().empty());
    EXPECT_EQ(1u, log.Count("[INFO][block stack of " + tree.Path("osd/ceph-2/block") + ": on bcache2, bcache3]"));
    EXPECT_EQ(3u, log.Count("block stack of")) << "not for a link that names its device, nor again at a retry";
}

// A block device whose mapping is not made yet (an encrypted OSD being
// opened), or whose stack cannot be read for now, is tied on a later pass.
TEST_F(OsdLayoutsTest, TiesOnALaterPassWhatCouldNotBeReadYet)
{
    LoadSysfsTree(tree, std::string(QUELVAR_TEST_DATA_DIR) + "/sysfs/dmcrypt-over-lvm.tree", "sys/");
    tree.AddFile("dev/db", "");
    tree.AddFile("dev/mapper/crypt", "");
    tree.AddBluestore("osd/ceph-0", OsdTree::Fsid('0'), tree.Path("dev/mapper/crypt"), tree.Path("dev/db"), "");
    const std::string block = tree.Path("osd/ceph-0/block");
    for (bool mappingLate : {true, false}) {
        SCOPED_TRACE(mappingLate ? "the mapping comes later" : "the stack cannot be read yet");
        OsdHostMap fresh{tree.Path("osd/"), tree.Root()};
        fresh.sysPath = tree.Path("sys");
        fresh.devEntries = {{"bcache0", DT_BLK}};
        fresh.blockNodes[block] = mappingLate ? 0 : makedev(252, 1);
        tree.Remove("sys/dev/block/252:1");
        if (mappingLate) {
            tree.AddLink("sys/dev/block/252:1", "../../devices/virtual/block/dm-1");
        }
        ASSERT_EQ(0, fresh.RefreshOsdInfo());
        EXPECT_EQ("", fresh.OsdInfoList().at(0).block);
        EXPECT_EQ("the devices under " + block + " could not be traced", fresh.Incomplete());
        fresh.blockNodes[block] = makedev(252, 1);
        if (!mappingLate) {
            tree.AddLink("sys/dev/block/252:1", "../../devices/virtual/block/dm-1");
        }
        ASSERT_EQ(0, fresh.RefreshOsdInfo());
        EXPECT_EQ("bcache0", fresh.OsdInfoList().at(0).block);
        EXPECT_EQ("", fresh.Incomplete());
    }
    EXPECT_EQ(1u, log.Count("[ERROR][stat " + block));
    EXPECT_EQ(1u, log.Count("[WARNING][block stack of " + block + ": cannot read"));
}

} // namespace
