// The walk down the kernel's block stack, over captured sysfs trees rebuilt
// under /tmp: which bcache devices a device is stacked on, and that loops,
// stacks past the bound and unreadable links end the walk, never hang it.
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "support/OsdTree.h"
#include "support/SysfsTree.h"
#include "sys/BlockStack.h"

namespace {

// As /dev lists them: a partition of a bcache device has a bcache name too.
const std::set<std::string> BCACHE = {"bcache0", "bcache0p1", "bcache1"};

int Walk(OsdTree& tree, unsigned major, unsigned minor, BlockStackWalk& walk)
{
    SystemApi api;
    return WalkBlockStack(api, tree.Path("sys"), makedev(major, minor),
                          [](const std::string& name) { return BCACHE.count(name) != 0; }, walk);
}

TEST(BlockStack, FindsTheBcacheDeviceBelowCapturedStacks)
{
    const struct {
        const char* fixture;
        unsigned major, minor;
        std::vector<std::string> found;
    } cases[] = {
        {"dmcrypt-over-lvm", 252, 1, {"bcache0"}},  // crypt, volume, bcache
        {"dmcrypt-over-lvm", 8, 16, {}},            // its backing disk: below, not above
        {"lvm-over-dmcrypt", 252, 1, {"bcache0"}},  // volume, crypt, bcache
        {"bcache-partition", 253, 1, {"bcache0"}},  // a partition inside bcache0's directory
        {"bcache-partition", 8, 33, {}},            // a plain disk's partition
        {"bcache-partition", 252, 2, {}},           // multipath over two plain paths
    };
    for (const auto& c : cases) {
        OsdTree tree;
        LoadSysfsTree(tree, std::string(QUELVAR_TEST_DATA_DIR) + "/sysfs/" + c.fixture + ".tree", "sys/");
        BlockStackWalk walk;
        EXPECT_EQ(BLOCK_STACK_DONE, Walk(tree, c.major, c.minor, walk)) << c.fixture << " " << c.minor;
        EXPECT_EQ(c.found, walk.found) << c.fixture << " " << c.major << ":" << c.minor;
    }
}

// A chain dm-0 -> dm-1 -> ... -> dm-<length-1>, the last over `bottom`.
void Chain(OsdTree& tree, int length, const std::string& bottom)
{
    tree.AddLink("sys/dev/block/254:0", "../../devices/virtual/block/dm-0");
    tree.AddFile("sys/devices/virtual/block/" + bottom + "/dev", "252:0\n");
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
        int error;
    } cases[] = {
        {"the bound itself", [](OsdTree& t) { Chain(t, BLOCK_STACK_MAX_DEPTH, "bcache0"); }, BLOCK_STACK_DONE,
         {"bcache0"}, "", 0},
        {"one past the bound", [](OsdTree& t) { Chain(t, BLOCK_STACK_MAX_DEPTH + 1, "bcache0"); },
         BLOCK_STACK_TOO_DEEP, {}, block + "dm-16", 0},
        {"a loop", [](OsdTree& t) { Chain(t, 3, "dm-1"); }, BLOCK_STACK_LOOP, {}, block + "dm-1", 0},
        {"a device its own slave", [](OsdTree& t) { Chain(t, 1, "dm-0"); }, BLOCK_STACK_LOOP, {}, block + "dm-0", 0},
        {"a dangling slave", [](OsdTree& t) { Chain(t, 2, "bcache0"); t.Remove("sys/devices/virtual/block/bcache0"); },
         BLOCK_STACK_UNREADABLE, {}, block + "dm-1/slaves/bcache0", ENOENT},
        {"no such device number", [](OsdTree& t) { t.AddFile("sys/dev/block/.keep", ""); },
         BLOCK_STACK_UNREADABLE, {}, "/dev/block/254:0", ENOENT},
        {"a volume over two bcache devices, one twice",
         [](OsdTree& t) {
             Chain(t, 1, "bcache1");
             t.AddLink("sys/devices/virtual/block/dm-0/slaves/bcache0", "../../bcache0");
             t.AddFile("sys/devices/virtual/block/bcache0/dev", "252:1\n");
             t.AddLink("sys/devices/virtual/block/dm-0/slaves/dm-9", "../../dm-9");
             t.AddLink("sys/devices/virtual/block/dm-9/slaves/bcache1", "../../bcache1");
         },
         BLOCK_STACK_DONE, {"bcache0", "bcache1"}, "", 0},
    };
    for (const auto& c : cases) {
        OsdTree tree;
        c.build(tree);
        BlockStackWalk walk;
        EXPECT_EQ(c.status, Walk(tree, 254, 0, walk)) << c.what;
        std::set<std::string> found(walk.found.begin(), walk.found.end());
        EXPECT_EQ(std::set<std::string>(c.found.begin(), c.found.end()), found) << c.what;
        EXPECT_EQ(c.found.size(), walk.found.size()) << c.what << ": each device once";
        EXPECT_TRUE(walk.where.size() >= c.where.size() &&
                    walk.where.compare(walk.where.size() - c.where.size(), c.where.size(), c.where) == 0)
            << c.what << ": " << walk.where;
        EXPECT_EQ(c.error, walk.error) << c.what;
    }
}

} // namespace
