#include "report/ReportFormat.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "disk/KernelView.h"
#include "disk/Transport.h"

namespace
{

// Four devices: a protected SATA disk whose OSD links were written with
// hostile bytes (a quote, a backslash, a line feed, an escape sequence and a
// byte that is not UTF-8), an UNPROTECTED SCSI disk under two OSDs, a
// device whose backing disk could not be found, and one not guarded.
HostReport SampleReport()
{
    HostReport report;
    DeviceRow row;
    row.device = "bcache0";
    row.disk = "sdb";
    row.transport = TRANSPORT_SATA;
    row.kernelMode = WRITE_CACHE_THROUGH;
    row.diskCache = DISK_CACHE_OFF;
    row.guarded = true;
    row.osds.emplace_back();
    row.osds[0].dirName = "/var/lib/ceph/osd/ceph-\"0\\\n\x1b[31m\xff";
    row.osds[0].fsid = "00000000-0000-4000-8000-000000000000";
    row.osds[0].engineType = ENGINE_BLUESTORE;
    row.osds[0].blockLink = "/dev/bcache0";
    row.osds[0].dbLink = "/dev/nvme0n1p1\xff\xfe";
    row.verdict = Verdict::Protected;
    row.reason = "the disk reports its write cache off";
    report.rows.push_back(row);
    row.device = "bcache1";
    row.disk = "sdc";
    row.transport = TRANSPORT_SCSI;
    row.kernelMode = WRITE_CACHE_BACK;
    row.diskCache = DISK_CACHE_ON;
    row.osds[0].dirName = "/var/lib/ceph/osd/ceph-1";
    row.osds.push_back(row.osds[0]);
    row.osds[1].dirName = "/var/lib/ceph/osd/ceph-4";
    row.verdict = Verdict::Unprotected;
    report.rows.push_back(row);
    DeviceRow lost;
    lost.device = "bcache2";
    lost.verdict = Verdict::Unknown;
    lost.reason = "its backing disk could not be found";
    report.rows.push_back(lost);
    lost.device = "bcache3";
    lost.disk = "sdd";
    lost.verdict = Verdict::NotGuarded;
    report.rows.push_back(lost);
    return report;
}

const ReportSource FROM_VIEW{true, 812, 2.5};

TEST(FormatJson, IsOneParsableObjectWithTheDocumentedFields)
{
    const std::string text = FormatJson(SampleReport(), FROM_VIEW);
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << text;
    EXPECT_EQ(document["status"], 2);
    EXPECT_EQ(document["source"], nlohmann::json::parse(R"({"from":"daemon","pid":812,"view_age_seconds":2.5})"));
    EXPECT_EQ(document["summary"],
              nlohmann::json::parse(R"({"protected":1,"unprotected":1,"not_guarded":1,"unknown":1})"));
    EXPECT_TRUE(document["problem"].is_null());
    ASSERT_EQ(document["devices"].size(), 4u);
    const auto& first = document["devices"][0];
    EXPECT_EQ(first["write_cache"], nlohmann::json::parse(R"({"kernel":"write through","disk":"off"})"));
    EXPECT_EQ(first["osd"]["directory"], "/var/lib/ceph/osd/ceph-\"0\\\n\x1b[31m\xef\xbf\xbd");
    EXPECT_EQ(first["osd"]["db_link"], "/dev/nvme0n1p1\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(first["osd"]["db_separate"], true);
    EXPECT_EQ(first["osd"]["object_store"], "bluestore");
    EXPECT_EQ(document["devices"][1]["verdict"], "UNPROTECTED");
    EXPECT_EQ(document["devices"][1]["osds"][1]["id"], "4");
    EXPECT_EQ(document["devices"][1]["osd"]["id"], "1") << "the first of its OSDs";
    const auto& lost = document["devices"][2];
    for (const char* field : {"disk", "transport", "osd"}) {
        EXPECT_TRUE(lost[field].is_null()) << field;
    }
    EXPECT_TRUE(lost["write_cache"]["kernel"].is_null());
    EXPECT_EQ(lost["verdict"], "unknown");
    EXPECT_EQ(text.back(), '\n');
}

// The text exposition format's rules: every sample belongs to a family
// whose HELP and TYPE came first, a family's samples are not split, names
// and label names are well formed, label values escape \, " and line feed
// only, no series repeats, and the text ends in a line feed.
void ExpectExpositionFormat(const std::string& text)
{
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
    const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (-?[0-9]+(\.[0-9]+)?))");
    const std::regex label(R"(^([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\"(,|$))");
    std::map<std::string, std::set<std::string>> seen; // family -> "HELP", "TYPE"
    std::set<std::string> finished;
    std::set<std::string> series;
    std::string current;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, comment)) {
            EXPECT_EQ(seen[match[2]].count(match[1]), 0u) << "repeated: " << line;
            seen[match[2]].insert(match[1]);
            if (match[1] == "TYPE") {
                EXPECT_EQ(match[3], "gauge") << line;
            }
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, match, sample)) << "not a sample: " << line;
        const std::string family = match[1];
        EXPECT_EQ(seen[family].size(), 2u) << "HELP and TYPE before " << line;
        if (family != current) {
            EXPECT_EQ(finished.count(family), 0u) << "family split: " << line;
            finished.insert(current);
            current = family;
        }
        std::string labels = match[3];
        while (!labels.empty()) {
            std::smatch pair;
            ASSERT_TRUE(std::regex_search(labels, pair, label)) << "bad labels in " << line;
            labels = pair.suffix();
        }
        EXPECT_TRUE(series.insert(family + "{" + match[3].str() + "}").second) << "repeated series: " << line;
    }
}

TEST(FormatPrometheus, FollowsTheExpositionFormatAndMirrorsTheVerdicts)
{
    const std::string text = FormatPrometheus(SampleReport(), FROM_VIEW);
    ExpectExpositionFormat(text);
    for (const char* expected : {
             "quelvar_status 2\n",
             "quelvar_view_age_seconds 2.5\n",
             "quelvar_disk_write_cache{bcache=\"bcache0\",disk=\"sdb\",osd=\"\\\"0\\\\\\n?[31m?\",source="
             "\"kernel\"} 0\n",
             "quelvar_disk_write_cache{bcache=\"bcache1\",disk=\"sdc\",osd=\"1\",source=\"disk\"} 1\n",
             "quelvar_disk_write_cache{bcache=\"bcache2\",disk=\"\",osd=\"\",source=\"kernel\"} -1\n",
             "quelvar_disk_verdict{bcache=\"bcache1\",disk=\"sdc\",osd=\"1\"} 2\n",
             "quelvar_disk_verdict{bcache=\"bcache1\",disk=\"sdc\",osd=\"4\"} 2\n",
             "quelvar_disk_verdict{bcache=\"bcache3\",disk=\"sdd\",osd=\"\"} 1\n",
             "quelvar_disk_verdict{bcache=\"bcache2\",disk=\"\",osd=\"\"} 3\n",
         }) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin\n" << text;
    }
    ExpectExpositionFormat(FormatPrometheus(HostReport{}));
    EXPECT_NE(FormatPrometheus(HostReport{}).find("quelvar_view_age_seconds -1\n"), std::string::npos);
}

TEST(FormatText, ShowsOneRowPerDeviceWithNoControlByteOfAnotherUser)
{
    const std::string text = FormatText(SampleReport(), FROM_VIEW);
    EXPECT_EQ(text.rfind("4 bcache devices: 1 protected, 1 UNPROTECTED, 1 not guarded, 1 unknown\n"
                         "from the daemon's view (pid 812), 2.5 s old\n",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("ceph-\"0\\??[31m?, bluestore"), std::string::npos) << text;
    std::istringstream lines(text);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 9u) << text;
    EXPECT_EQ(rows[3].rfind("DEVICE   DISK  TRANSPORT  KERNEL", 0), 0u) << rows[3];
    EXPECT_TRUE(std::regex_match(rows[6], std::regex(" +4 \\(/var/lib/ceph/osd/ceph-4, bluestore\\) +separate"))) << rows[6];
    EXPECT_EQ(rows[7].rfind("bcache2  -     -          -       ", 0), 0u) << rows[7];
    EXPECT_NE(FormatText(HostReport{}).find("\nread from the host: no view of a running daemon\n"), std::string::npos);
}

} // namespace
