// The command runner and the LVM lookup, against a scripted pvs.
#include <gtest/gtest.h>

#include "osd/CommandRunner.h"
#include "osd/OsdComFun.h"
#include "support/FakeKernel.h"
#include "support/OsdTree.h"
#include "support/PvsScript.h"

namespace {

TEST(OsdCommandRunner, KeepsAtMost257Lines)
{
    const struct {
        const char* command;
        size_t before;
        size_t after;
    } cases[] = {
        {"seq 300", 0, 257}, {"seq 257", 0, 257}, {"true", 0, 0}, {"false", 0, 0}, {"seq 10", 250, 257},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines(c.before, "earlier");
        EXPECT_EQ(0, RunCommand(c.command, lines)) << c.command;
        EXPECT_EQ(c.after, lines.size()) << c.command;
    }
    std::vector<std::string> lines;
    ASSERT_EQ(0, RunCommand("seq 300", lines));
    EXPECT_EQ("1", lines.front());
    EXPECT_EQ("257", lines.back());
}

TEST(OsdCommandRunner, SplitsOnlyAtNewlines)
{
    PvsScript pvs;
    pvs.SetVolumeGroup("crlf", "first\r\nlast without newline");
    pvs.SetVolumeGroup("long", std::string(5000, 'x') + "\n");
    std::vector<std::string> lines;
    ASSERT_EQ(0, RunCommand("pvs --noheadings -o vg_name /dev/crlf", lines));
    EXPECT_EQ((std::vector<std::string>{"first\r", "last without newline"}), lines);
    lines.clear();
    ASSERT_EQ(0, RunCommand("pvs --noheadings -o vg_name /dev/long", lines));
    EXPECT_EQ((std::vector<std::string>{std::string(4095, 'x'), std::string(905, 'x')}), lines);
}

TEST(OsdCommandRunner, RefusesShellSyntaxWithoutStartingIt)
{
    PvsScript pvs;
    const std::string refused[] = {
        "", "pvs x;pvs", "pvs x|pvs", "pvs $HOME", "pvs x.y", "pvs\tx", "pvs 'x'", "pvs \"x\"",
        "pvs `pvs`", "pvs x&pvs", "pvs >x", std::string("pvs x\0;pvs", 10), "pvs x\npvs",
    };
    for (const std::string& command : refused) {
        std::vector<std::string> lines;
        EXPECT_EQ(-1, RunCommand(command, lines)) << command;
        EXPECT_TRUE(lines.empty());
    }
    EXPECT_TRUE(pvs.Calls().empty());
}

TEST(OsdPhysicalVolume, MatchesTheWholeDeviceName)
{
    FakeKernel<OsdComFun> lvm;
    lvm.pipes["pvs"] = "  PV         VG       Fmt  Attr PSize  PFree\n"
                       "  /dev/sdb1  ceph-vg1 lvm2 a--  10.00g    0 \n";
    EXPECT_FALSE(lvm.IsPhysicalVolume("sdb"));
    EXPECT_TRUE(lvm.IsPhysicalVolume("sdb1"));
    EXPECT_EQ(0, lvm.openStreams);
    lvm.pipes.clear();
    EXPECT_FALSE(lvm.IsPhysicalVolume("sdb1"));
}

TEST(OsdVolumeGroup, DeliversTheBareNameOfOneLine)
{
    PvsScript pvs;
    pvs.SetReport("  PV            VG       Fmt  Attr PSize  PFree\n"
                  "  /dev/bcache0  ceph-vg1 lvm2 a--  10.00g    0 \n"
                  "  /dev/bcache.1 ceph-vg2 lvm2 a--  10.00g    0 \n");
    const struct {
        const char* output;
        int result;
        const char* vg;
    } cases[] = {
        {"  ceph-vg1\n", 0, "ceph-vg1"},
        {"ceph-vg1  \n", 0, "ceph-vg1  "},
        {"  WARNING: something\n  ceph-vg1\n", -1, "kept"},
        {"", -1, "kept"},
        {"    \n", -1, "kept"},
    };
    OsdComFun lvm;
    for (const auto& c : cases) {
        pvs.SetVolumeGroup("bcache0", c.output);
        std::string vg = "kept";
        EXPECT_EQ(c.result, lvm.GetVolumeGroup("bcache0", vg)) << c.output;
        EXPECT_EQ(c.vg, vg);
    }
    pvs.SetVolumeGroup("bcache.1", "  ceph-vg2\n");
    std::string vg = "kept";
    EXPECT_EQ(-1, lvm.GetVolumeGroup("bcache.1", vg));
    EXPECT_EQ(-1, lvm.GetVolumeGroup("bcache9", vg));
    EXPECT_EQ("kept", vg);
    // Two runs per device found in the report, one for any other.
    EXPECT_EQ(12u, pvs.Calls().size());
}

} // namespace
