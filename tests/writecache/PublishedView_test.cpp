#include "writecache/PublishedView.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/ScratchFiles.h"

namespace {

// What the daemon writes is what the report reads back, hostile texts
// included, and every line a shell reads with a tab-split stays whole.
TEST(PublishedView, ReadsBackWhatWasWrittenAndKeepsEachRecordOnOneLine)
{
    HostReport seen;
    seen.problem = "the OSD inventory is incomplete: LVM did not answer";
    DeviceRow row;
    row.device = "bcache0";
    row.disk = "sdb1";
    row.transport = "partition of sdb, SATA";
    row.kernelMode = WRITE_CACHE_THROUGH;
    row.diskCache = DISK_CACHE_OFF;
    row.answeredAt = 12.5;
    row.guarded = true;
    row.verdict = Verdict::Protected;
    row.reason = "the disk reports its write cache off";
    row.osds.resize(2);
    row.osds[0].dirName = "/var/lib/ceph/osd/ceph-0\t\n\\x-";
    row.osds[0].engineType = ENGINE_BLUESTORE;
    row.osds[0].dbLink = "-";
    row.osds[1].dirName = "/var/lib/ceph/6c3e/osd.7";
    row.osds[1].engineType = ENGINE_FILESTORE;
    seen.rows.push_back(row);
    DeviceRow silent;
    silent.device = "bcache1";
    silent.disk = "nvme0n1";
    silent.silence = "does not answer: its command timed out";
    silent.guarded = true;
    seen.rows.push_back(silent);

    const std::string text = FormatView(ViewHeader{812, 9, 100.25, 101.5}, seen);
    EXPECT_NE(text.find("\nosd\tbcache0\t7\tprotected\t/var/lib/ceph/6c3e/osd.7\t-\tfilestore\t-\t-\t-\n"),
              std::string::npos)
        << text;
    ViewHeader header;
    HostReport read;
    ASSERT_EQ(ParseView(text, header, read), 0);
    EXPECT_EQ(FormatView(header, read), text);
    EXPECT_EQ(read.rows[0].osds[0].dirName, row.osds[0].dirName);
    EXPECT_EQ(read.rows[0].osds[0].dbLink, "-");
    EXPECT_EQ(read.rows[1].silence, silent.silence);
    EXPECT_EQ(ParseView("quelvar-view\t2\n", header, read), -1) << "another version";

    char dir[] = "/tmp/quelvar-view.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/run/view";
    ASSERT_EQ(WriteView(path, text), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadView(path, header, read), 0);
    EXPECT_EQ(header.pid, 812);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    std::filesystem::remove_all(dir);
}

} // namespace
