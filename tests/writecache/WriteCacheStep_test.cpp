#include "writecache/WriteCacheStep.h"

#include <gtest/gtest.h>

#include "support/TestBcacheDev.h"

namespace {

TEST(FindCacheOffRecord, WantsABluestoreRecordItCarriesWithItsDbElsewhere)
{
    const OsdInfo filestore = Record("bcache0", ENGINE_FILESTORE, "", "");
    const OsdInfo colocated = Record("bcache0", ENGINE_BLUESTORE, "/dev/bcache0", "/dev/bcache0");
    const struct {
        const char* name;
        std::vector<OsdInfo> records;
        int expected;  // index of the record found, -1 for none
        int carried;   // FindCarriedRecord's, -1 for none
    } rows[] = {
        {"nothing known", {}, -1, -1},
        {"DB on another device", {SEPARATE_DB}, 0, 0},
        {"DB on the block device", {colocated}, -1, 0},
        {"no links at all", {Record("bcache0", ENGINE_BLUESTORE, "", "")}, -1, 0},
        {"a longer device name", {Record("bcache01", ENGINE_BLUESTORE, "/dev/bcache01", "/dev/sdz")}, -1, -1},
        {"unknown type", {Record("bcache0", ENGINE_UNKNOWN, "/dev/bcache0", "/dev/sdz")}, -1, 0},
        {"the first of several", {Record("bcache1", ENGINE_BLUESTORE, "a", "b"), SEPARATE_DB, SEPARATE_DB}, 1, 1},
        {"the second of its devices", {Record("bcache1 bcache0", ENGINE_BLUESTORE, "/dev/vg/lv", "/dev/sdz")}, 0, 0},
        {"a bluestore OSD before a filestore one", {filestore, colocated}, -1, 1},
        {"a filestore OSD alone", {Record("bcache1", ENGINE_BLUESTORE, "a", "b"), filestore}, -1, 1},
    };
    for (const auto& row : rows) {
        const OsdInfo* found = FindCacheOffRecord(row.records, "bcache0");
        EXPECT_EQ(found == nullptr ? -1 : found - row.records.data(), row.expected) << row.name;
        const OsdInfo* carried = FindCarriedRecord(row.records, "bcache0");
        EXPECT_EQ(carried == nullptr ? -1 : carried - row.records.data(), row.carried) << row.name;
    }
}

} // namespace
