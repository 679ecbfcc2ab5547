#include "sys/SafeString.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SafeString, WritesAtMostCountAndFailsCleanlyBeyond)
{
    char path[4096];
    std::string name(4090, 'a');  // "/dev/" + 4090 = 4095 characters: the most a path buffer takes
    EXPECT_EQ(snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", name.c_str()), 4095);
    EXPECT_EQ(std::strlen(path), 4095u);
    name += 'a';
    EXPECT_LT(snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", name.c_str()), 0);
    EXPECT_STREQ(path, "") << "a failed format leaves no partial text behind";
    EXPECT_LT(snprintf_s(path, 8, 8, "%d", 1), 0) << "count must stay below destMax";
    EXPECT_LT(snprintf_s(nullptr, 8, 4, "%d", 1), 0);

    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(memset_s(buffer, sizeof(buffer), 0, 2), 0);
    EXPECT_NE(memset_s(buffer, sizeof(buffer), 'x', 5), 0);
    EXPECT_EQ(std::memcmp(buffer, "\0\0cd", 4), 0) << "an oversized count writes nothing";
}

} // namespace
