// The probe of one OSD directory, over real directories in /tmp.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "osd/OsdInfoMap.h"
#include "support/FakePrivilege.h"
#include "support/LogCapture.h"
#include "support/OsdTree.h"

namespace {

const std::string FSID = OsdTree::Fsid('a');

class OsdProbeTest : public testing::Test {
protected:
    void SetUp() override { FakePrivilege::Reset(); }

    int Probe(OsdInfo* info) { return map.ProbeOsdDir(tree.Root(), "ceph-0", info); }

    // A bluestore OSD whose links point at stand-in devices inside the tree.
    void AddBluestore()
    {
        for (const char* dev : {"dev/bcache0", "dev/nvme0n1p1", "dev/nvme0n1p2"}) {
            tree.AddFile(dev, "");
        }
        tree.AddBluestore("ceph-0", FSID, tree.Path("dev/bcache0"), tree.Path("dev/nvme0n1p1"),
                          tree.Path("dev/nvme0n1p2"));
    }

    OsdTree tree;
    OsdInfoMap map{tree.Root()};
};

TEST(OsdListChanged, ComparesCountOrderAndBytes)
{
    EXPECT_TRUE(ListChanged({"a", "b"}, {"b", "a"}));
    EXPECT_FALSE(ListChanged({}, {}));
    EXPECT_TRUE(ListChanged({}, {"a"}));
    EXPECT_TRUE(ListChanged({"a"}, {}));
    EXPECT_TRUE(ListChanged({"bcache0"}, {"bcache1"}));
    EXPECT_TRUE(ListChanged({"bcache0"}, {"bcache01"}));
    EXPECT_FALSE(ListChanged({"bcache0", "bcache1"}, {"bcache0", "bcache1"}));
}

TEST(OsdBcacheName, NeedsPrefixAndOneMoreCharacter)
{
    OsdComFun probe;
    for (const char* name : {"bcache0", "bcache10", "bcache0p1"}) {
        EXPECT_EQ(0, probe.IsBcacheName(name)) << name;
    }
    for (const char* name : {"bcache", "Bcache0", "mybcache0", ""}) {
        EXPECT_EQ(-1, probe.IsBcacheName(name)) << name;
    }
}

TEST_F(OsdProbeTest, FsidMustBeExactly36CharactersOnTheFirstLine)
{
    const struct {
        std::string content;
        int result;
    } cases[] = {
        {FSID + "\n", 0},       {FSID, 0},           {FSID.substr(1) + "\n", -1},
        {FSID + "b\n", -1},     {FSID + "\r\n", -1}, {"", -1},
    };
    for (const auto& c : cases) {
        tree.AddOsd("ceph-0", "filestore", c.content);
        std::string fsid;
        EXPECT_EQ(c.result, map.ReadFsid(tree.Root(), "ceph-0", &fsid)) << testing::PrintToString(c.content);
        EXPECT_TRUE(c.result != 0 || fsid == FSID);
    }
}

TEST_F(OsdProbeTest, TypeIsMatchedWholeAndUnknownTypesAreKept)
{
    const struct {
        const char* type;
        int32_t code;
    } cases[] = {
        {"filestore\n", ENGINE_FILESTORE}, {"kvstore", ENGINE_KVSTORE}, {"memstore\n", ENGINE_MEMSTORE},
        {"bluestore \n", ENGINE_UNKNOWN}, {"BlueStore\n", ENGINE_UNKNOWN}, {"", ENGINE_UNKNOWN},
    };
    // Links that only a bluestore probe may read.
    AddBluestore();
    for (const auto& c : cases) {
        tree.AddFile("ceph-0/type", c.type);
        OsdInfo info;
        EXPECT_EQ(0, Probe(&info)) << c.type;
        EXPECT_EQ(c.code, info.engineType) << c.type;
        EXPECT_EQ(FSID, info.fsid);
        EXPECT_EQ("", info.blockLink + info.dbLink + info.walLink + info.block);
    }
}

TEST_F(OsdProbeTest, BluestoreLinksAreReadAsStoredAndWalMayBeAbsent)
{
    const struct {
        const char* what;
        const char* removed;   // link taken away before the probe
        const char* dangling;  // link replaced by one to nothing
        int result;
    } cases[] = {
        {"all three", nullptr, nullptr, 0},
        {"no block.wal", "ceph-0/block.wal", nullptr, 0},
        {"dangling block.wal", nullptr, "ceph-0/block.wal", -1},
        {"no block.db", "ceph-0/block.db", nullptr, -1},
        {"dangling block", nullptr, "ceph-0/block", -1},
    };
    for (const auto& c : cases) {
        tree.Remove("ceph-0");
        tree.Remove("dev");
        AddBluestore();
        // The block link names a logical volume that is itself a link.
        tree.AddFile("dev/dm-0", "");
        tree.AddLink("dev/ceph-vg1/osd-block-1", tree.Path("dev/dm-0"));
        tree.Remove("ceph-0/block");
        tree.AddLink("ceph-0/block", tree.Path("dev/ceph-vg1/osd-block-1"));
        for (const char* link : {c.removed, c.dangling}) {
            if (link != nullptr) {
                tree.Remove(link);
            }
        }
        if (c.dangling != nullptr) {
            tree.AddLink(c.dangling, tree.Path("dev/gone"));
        }
        OsdInfo info;
        EXPECT_EQ(c.result, Probe(&info)) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(ENGINE_BLUESTORE, info.engineType);
            EXPECT_EQ(tree.Path("dev/ceph-vg1/osd-block-1"), info.blockLink);
            EXPECT_EQ(tree.Path("dev/nvme0n1p1"), info.dbLink);
            EXPECT_EQ(c.removed == nullptr ? tree.Path("dev/nvme0n1p2") : "", info.walLink) << c.what;
        }
    }
}

TEST_F(OsdProbeTest, RegularFileNamedBlockIsLogged)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    LogCapture log;
    ASSERT_TRUE(log.ok());
    AddBluestore();
    tree.Remove("ceph-0/block");
    tree.AddFile("ceph-0/block", "not a link");
    OsdInfo info;
    EXPECT_EQ(-1, Probe(&info));
    EXPECT_NE(std::string::npos, log.Text().find("[ERROR][readlink " + tree.Path("ceph-0/block") +
                                                 " error:22 Invalid argument]"));
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
    EXPECT_EQ("/dev/bcache0", info.walLink);
}

// Entries the unprivileged owner of an OSD directory could plant in place of
// "type" or "fsid": each must be refused, promptly.
TEST_F(OsdProbeTest, HostileTypeOrFsidIsRefusedWithoutBlocking)
{
    const struct {
        const char* what;
        std::function<bool(const std::string&)> plant;
    } kinds[] = {
        {"fifo", [&](const std::string& at) { tree.AddFifo(at); return true; }},
        {"socket", [&](const std::string& at) { tree.AddSocket(at); return true; }},
        {"8 GiB without a newline",
         [&](const std::string& at) { tree.AddSparseFile(at, 8LL << 30); return true; }},
        {"long line",
         [&](const std::string& at) { tree.AddFile(at, std::string(5000, 'x') + "\n"); return true; }},
        {"device node", [&](const std::string& at) { return tree.AddZeroDevice(at); }},
        {"link to a device node",
         [&](const std::string& at) {
             tree.AddLink(at, tree.Path("zero"));
             return tree.AddZeroDevice("zero");
         }},
    };
    for (const auto& kind : kinds) {
        for (const char* file : {"ceph-0/type", "ceph-0/fsid"}) {
            tree.Remove("ceph-0");
            tree.Remove("zero");
            tree.AddOsd("ceph-0", "filestore", FSID);
            tree.Remove(file);
            if (!kind.plant(file)) {
                GTEST_SKIP() << "mknod refused, the device node cases need root";
            }
            int result = RunWithDeadline(
                [&] {
                    OsdInfo info;
                    return Probe(&info);
                },
                10);
            EXPECT_EQ(-1, result) << kind.what << " as " << file;
        }
    }
}

} // namespace
