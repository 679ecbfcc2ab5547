// The walk down the kernel's block stack, over sysfs trees captured on a
// real kernel and rebuilt under /tmp, and over malformed stacks that must end
// the walk, never hang it.
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "support/SysfsTree.h"
#include "sys/BlockStack.h"

namespace {

// As /dev lists them: a partition of a bcache device has a bcache name too.
const std::set<std::string> BCACHE = {"bcache0", "bcache0p1", "bcache1"};

int Walk(OsdTree& tree, dev_t dev, BlockStackWalk& walk)
{
    SystemApi api;
    return WalkBlockStack(api, tree.Path("sys"), dev, [](const std::string& name) { return BCACHE.count(name) != 0; },
                          walk);
}

TEST(BlockStack, FindsTheBcacheDeviceBelowCapturedStacks)
{
    const struct {
        const char* fixture;
        dev_t dev;
        std::vector<std::string> found;
    } cases[] = {
        {"dmcrypt-over-lvm", makedev(252, 1), {"bcache0"}},  // crypt, volume, bcache
        {"dmcrypt-over-lvm", makedev(8, 16), {}},            // its backing disk: below, not above
        {"lvm-over-dmcrypt", makedev(252, 1), {"bcache0"}},  // volume, crypt, bcache
        {"bcache-partition", makedev(253, 1), {"bcache0"}},  // bcache0p1, inside bcache0's directory
        {"bcache-partition", makedev(8, 33), {}},            // a plain disk's partition
        {"bcache-partition", makedev(252, 2), {}},           // multipath over two plain paths
    };
    for (const auto& c : cases) {
        OsdTree tree;
        LoadSysfsTree(tree, std::string(QUELVAR_TEST_DATA_DIR) + "/sysfs/" + c.fixture + ".tree", "sys/");
        BlockStackWalk walk;
        EXPECT_EQ(BLOCK_STACK_DONE, Walk(tree, c.dev, walk)) << c.fixture << " " << minor(c.dev);
        EXPECT_EQ(c.found, walk.found) << c.fixture << " " << minor(c.dev);
    }
}

// dm-0 over dm-1 over ... over dm-<length-1> over `bottom`.
void Chain(OsdTree& tree, int length, const std::string& bottom)
{
    tree.AddLink("sys/dev/block/252:0", "../../devices/virtual/block/dm-0");
    tree.AddFile("sys/devices/virtual/block/bcache0/dev", "253:0\n");
    for (int i = 0; i < length; ++i) {
        std::string below = i + 1 < length ? "dm-" + std::to_string(i + 1) : bottom;
        tree.AddLink("sys/devices/virtual/block/dm-" + std::to_string(i) + "/slaves/" + below, "../../" + below);
    }
}

TEST(BlockStack, EndsEveryWalkOnMalformedStacks)
{
    const std::string block = "/sys/devices/virtual/block/";
    const struct {
        const char* what;
        std::function<void(OsdTree&)> build;
        int status;
        std::vector<std::string> found;
        std::string where;  // the end of walk.where
    } cases[] = {
        {"the bound itself", [](OsdTree& t) { Chain(t, BLOCK_STACK_MAX_DEPTH, "bcache0"); }, BLOCK_STACK_DONE,
         {"bcache0"}, ""},
        {"one past the bound", [](OsdTree& t) { Chain(t, BLOCK_STACK_MAX_DEPTH + 1, "bcache0"); },
         BLOCK_STACK_TOO_DEEP, {}, block + "dm-16"},
        {"a loop", [](OsdTree& t) { Chain(t, 3, "dm-1"); }, BLOCK_STACK_LOOP, {}, block + "dm-1"},
        {"a dangling slave", [](OsdTree& t) { Chain(t, 2, "bcache1"); }, BLOCK_STACK_UNREADABLE, {},
         block + "dm-1/slaves/bcache1"},
        {"two bcache devices, one reached twice",
         [](OsdTree& t) {
             Chain(t, 2, "bcache0");
             t.AddLink("sys/devices/virtual/block/dm-0/slaves/bcache0", "../../bcache0");
             t.AddLink("sys/devices/virtual/block/dm-0/slaves/bcache1", "../../bcache1");
             t.AddFile("sys/devices/virtual/block/bcache1/dev", "253:1\n");
         },
         BLOCK_STACK_DONE, {"bcache0", "bcache1"}, ""},
        // Two partitions of one md device, both under one volume: md0 is met
        // twice, each time below a partition, and is no loop.
        {"a diamond",
         [](OsdTree& t) {
             const std::string dir = "sys/devices/virtual/block/";
             t.AddLink("sys/dev/block/252:0", "../../devices/virtual/block/dm-0");
             for (const char* part : {"md0p1", "md0p2"}) {
                 t.AddLink(dir + "dm-0/slaves/" + part, std::string("../../md0/") + part);
                 t.AddFile(dir + "md0/" + part + "/partition", "1\n");
             }
             t.AddLink(dir + "md0/slaves/bcache0", "../../bcache0");
             t.AddFile(dir + "bcache0/dev", "253:0\n");
         },
         BLOCK_STACK_DONE, {"bcache0"}, ""},
    };
    for (const auto& c : cases) {
        OsdTree tree;
        c.build(tree);
        BlockStackWalk walk;
        EXPECT_EQ(c.status, Walk(tree, makedev(252, 0), walk)) << c.what;
        EXPECT_EQ(std::set<std::string>(c.found.begin(), c.found.end()),
                  std::set<std::string>(walk.found.begin(), walk.found.end())) << c.what;
        EXPECT_EQ(c.found.size(), walk.found.size()) << c.what << ": each device once";
        EXPECT_EQ(c.where, walk.where.substr(walk.where.size() - std::min(walk.where.size(), c.where.size())))
            << c.what;
    }
}

} // namespace
