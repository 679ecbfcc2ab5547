// quelvar(8) must explain every line an operator can meet: each message the
// code logs or prints is looked up on the page with its level, and each entry
// of the page must still be in the code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "dist/MessageCatalog.h"

namespace {

using testing::IsEmpty;

TEST(ManPage, ListsEveryMessageOfTheCodeOnceAndNoOther)
{
    Catalog code = ReadCodeMessages(QUELVAR_SOURCE_DIR);
    Catalog page = ReadPageMessages(QUELVAR_MAN_PAGE);
    EXPECT_THAT(code.problems, IsEmpty()) << "calls whose message the check cannot read";
    EXPECT_THAT(page.problems, IsEmpty()) << "page lines the check cannot read";
    ASSERT_THAT(code.messages, testing::Contains("[WARNING][bufferLen invalied!]")) << "the reader finds nothing";
    // Escaping is for outside text: the daemon's own formats, as spelled in its
    // sources, end in their one line end and hold no other control character.
    EXPECT_THAT(code.formats, testing::Each(testing::MatchesRegex(R"(([^\\[:cntrl:]]|\\[\\"])*\\n)")));

    std::set<std::string> inCode(code.messages.begin(), code.messages.end());
    std::set<std::string> onPage(page.messages.begin(), page.messages.end());
    EXPECT_EQ(onPage.size(), page.messages.size()) << "an entry is listed twice";
    std::vector<std::string> missing, stale;
    std::set_difference(inCode.begin(), inCode.end(), onPage.begin(), onPage.end(), std::back_inserter(missing));
    std::set_difference(onPage.begin(), onPage.end(), inCode.begin(), inCode.end(), std::back_inserter(stale));
    EXPECT_THAT(missing, IsEmpty()) << "missing from quelvar(8)";
    EXPECT_THAT(stale, IsEmpty()) << "no longer in the code";
}

} // namespace
