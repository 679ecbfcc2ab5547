#include "sys/SafeString.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SnprintfS, WritesExactlyCountCharactersAndFailsOneBeyond)
{
    char buffer[8];
    EXPECT_EQ(snprintf_s(buffer, sizeof(buffer), 5, "%s", "abcde"), 5);
    EXPECT_STREQ(buffer, "abcde");

    EXPECT_LT(snprintf_s(buffer, sizeof(buffer), 5, "%s", "abcdef"), 0);
    EXPECT_STREQ(buffer, "") << "a failed format leaves no partial text behind";
}

TEST(SnprintfS, RefusesInvalidArguments)
{
    char buffer[8] = "x";
    EXPECT_LT(snprintf_s(nullptr, 8, 4, "%d", 1), 0);
    EXPECT_LT(snprintf_s(buffer, 0, 0, "%d", 1), 0);
    EXPECT_LT(snprintf_s(buffer, 8, 8, "%d", 1), 0) << "count must stay below destMax";
    EXPECT_LT(snprintf_s(buffer, static_cast<size_t>(-1), 4, "%d", 1), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(SnprintfS, FormatsPathsIntoTheDaemonsBuffers)
{
    char path[4096];
    EXPECT_EQ(snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", "bcache0"), 12);
    EXPECT_STREQ(path, "/dev/bcache0");

    std::string longName(4091, 'a');  // "/dev/" + 4091 = 4096 characters: one too many
    EXPECT_LT(snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", longName.c_str()), 0);
    longName.pop_back();
    EXPECT_EQ(snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", longName.c_str()), 4095);
}

TEST(MemsetS, FillsAtMostDestMax)
{
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(memset_s(buffer, sizeof(buffer), 0, 2), 0);
    EXPECT_EQ(std::memcmp(buffer, "\0\0cd", 4), 0);
    EXPECT_NE(memset_s(buffer, sizeof(buffer), 0, 5), 0);
    EXPECT_EQ(buffer[2], 'c') << "an oversized count writes nothing";
    EXPECT_NE(memset_s(nullptr, 4, 0, 4), 0);
    EXPECT_NE(memset_s(buffer, 0, 0, 0), 0);
}

} // namespace
