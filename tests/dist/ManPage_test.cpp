// quelvar(8) must explain every line an operator can meet: each message the
// code logs or prints is looked up on the page with its level.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dist/MessageCatalog.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

Catalog ReadSourceTree(const fs::path& root)
{
    Catalog all;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::string extension = it->path().extension().string();
        if (!it->is_regular_file() || (extension != ".cpp" && extension != ".h")) {
            continue;
        }
        Catalog one = ReadCodeMessages(ReadFile(it->path()), fs::relative(it->path(), root).string());
        all.messages.insert(all.messages.end(), one.messages.begin(), one.messages.end());
        all.problems.insert(all.problems.end(), one.problems.begin(), one.problems.end());
    }
    EXPECT_FALSE(error) << root << ": " << error.message();
    return all;
}

std::string Describe(const CatalogMessage& message)
{
    return "[" + message.level + "][" + message.text + "] at " + message.where;
}

struct CodeCase {
    const char* name;
    const char* source;
    std::vector<std::pair<std::string, std::string>> expected; // level, text
    size_t problems;
};

void PrintTo(const CodeCase& c, std::ostream* os)
{
    *os << c.name;
}

class CodeReading : public testing::TestWithParam<CodeCase> {};

TEST_P(CodeReading, FindsWhatReachesTheOperator)
{
    const CodeCase& c = GetParam();
    Catalog catalog = ReadCodeMessages(c.source, "x.cpp");
    std::vector<std::pair<std::string, std::string>> found;
    for (const CatalogMessage& message : catalog.messages) {
        found.emplace_back(message.level, message.text);
    }
    EXPECT_EQ(found, c.expected);
    EXPECT_EQ(catalog.problems.size(), c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CodeReading,
    testing::Values(
        CodeCase{"SpreadOverLines", "WriteLog(\n    LOG_ERROR,\n    \"open %s \"\n    \"error:%s\\n\", p, s);",
                 {{"ERROR", "open %s error:%s"}}, 0},
        CodeCase{"AllTrailingLineEndsGo", "WriteLog(LOG_INFO, \"a\\nb\\r\\n\\n\");", {{"INFO", "a\nb"}}, 0},
        CodeCase{"TrailingSpaceStays", "WriteLog(LOG_ERROR, \"setuid(0) failed: %s \\n\", e);",
                 {{"ERROR", "setuid(0) failed: %s "}}, 0},
        CodeCase{"EscapedQuotesAndCommas", "WriteLog(LOG_WARNING, \"reject \\\"%s\\\", x\\n\", f(a, b));",
                 {{"WARNING", "reject \"%s\", x"}}, 0},
        CodeCase{"CommentsAndCharLiterals",
                 "// WriteLog(LOG_INFO, \"no\");\n/* printf(\"no\"); */ char q = '\"';\n"
                 "WriteLog(LOG_DEBUG, /* why */ \"yes\" // more\n \"!\\n\");",
                 {{"DEBUG", "yes!"}}, 0},
        CodeCase{"StandardOutput", "printf(\"Open log file failed \\n\"); std::fprintf(stderr, \"e\\n\");",
                 {{"stdout", "Open log file failed "}, {"stdout", "e"}}, 0},
        CodeCase{"LogFileWriteIsNotAMessage", "fprintf(log, \"%s]\\n\", line); snprintf_s(b, 1, 1, \"x\");", {}, 0},
        CodeCase{"DeclarationsSkipped",
                 "void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));", {}, 0},
        CodeCase{"LevelThatIsNoConstant", "WriteLog(level, \"m\\n\");", {{"", "m"}}, 0},
        CodeCase{"FormatNotALiteral", "WriteLog(LOG_ERROR, format, x); WriteLog(LOG_ERROR, \"%\" PRIu64, v);", {},
                 2}),
    [](const testing::TestParamInfo<CodeCase>& param) { return std::string(param.param.name); });

TEST(PageReading, DecodesEntriesAndReportsWhatItCannotRead)
{
    Catalog catalog = ReadPageMessages(".TP\n"
                                       "\\fB[ERROR][opendir [/dev] error:%d %s]\\fR\n"
                                       "\\fB[stdout][a \\- b \\(dq\\e\\&]\\fR\n"
                                       "\\fB[INFO][x \\fIy\\fR]\\fR\n"
                                       "\\fB[INFO] missing brackets\\fR\n"
                                       "text \\fB[INFO][not an entry]\\fR\n",
                                       "p.8");
    ASSERT_EQ(catalog.messages.size(), 2U);
    EXPECT_EQ(catalog.messages[0].level, "ERROR");
    EXPECT_EQ(catalog.messages[0].text, "opendir [/dev] error:%d %s");
    EXPECT_EQ(catalog.messages[0].where, "p.8:2");
    EXPECT_EQ(catalog.messages[1].text, "a - b \"\\");
    EXPECT_EQ(catalog.problems.size(), 2U);
}

class ManPage : public testing::Test {
protected:
    void SetUp() override
    {
        code = ReadSourceTree(QUELVAR_SOURCE_DIR);
        page = ReadPageMessages(ReadFile(QUELVAR_MAN_PAGE), "quelvar.8");
        for (const CatalogMessage& message : page.messages) {
            onPage.insert({message.level, message.text});
            textOnPage.insert(message.text);
        }
    }

    Catalog code;
    Catalog page;
    std::set<std::pair<std::string, std::string>> onPage;
    std::set<std::string> textOnPage;
};

TEST_F(ManPage, EveryMessageOfTheCodeIsExplained)
{
    EXPECT_TRUE(code.problems.empty()) << "messages the check cannot read:\n" << testing::PrintToString(code.problems);
    ASSERT_FALSE(code.messages.empty()) << "no messages found under " << QUELVAR_SOURCE_DIR;
    for (const CatalogMessage& message : code.messages) {
        bool listed = message.level.empty() ? textOnPage.count(message.text) != 0
                                            : onPage.count({message.level, message.text}) != 0;
        EXPECT_TRUE(listed) << "missing from quelvar(8): " << Describe(message);
    }
}

TEST_F(ManPage, EntriesAreReadableAndListedOnce)
{
    EXPECT_TRUE(page.problems.empty()) << testing::PrintToString(page.problems);
    EXPECT_EQ(onPage.size(), page.messages.size()) << "an entry is listed twice";
    static const std::set<std::string> levels = {"DEBUG", "INFO", "WARNING", "ERROR", STDOUT_LEVEL};
    for (const CatalogMessage& message : page.messages) {
        EXPECT_EQ(levels.count(message.level), 1U) << Describe(message);
    }
}

// The page describes the whole daemon; an entry that no code logs any more is
// stale. Until every subsystem has its sources in the tree the page is bound
// to list more than the code.
TEST_F(ManPage, NoEntryOutlivesItsMessage)
{
    for (const char* subsystem : {"bcache", "osd", "scsi"}) {
        bool hasSources = false;
        std::error_code error;
        for (fs::directory_iterator it(fs::path(QUELVAR_SOURCE_DIR) / subsystem, error), end; !error && it != end;
             it.increment(error)) {
            hasSources = hasSources || it->path().extension() == ".cpp";
        }
        if (!hasSources) {
            GTEST_SKIP() << "src/" << subsystem << " has no sources yet";
        }
    }
    std::set<std::pair<std::string, std::string>> inCode;
    std::set<std::string> inCodeAtAnyLevel;
    for (const CatalogMessage& message : code.messages) {
        inCode.insert({message.level, message.text});
        if (message.level.empty()) {
            inCodeAtAnyLevel.insert(message.text);
        }
    }
    for (const CatalogMessage& message : page.messages) {
        bool logged = inCode.count({message.level, message.text}) != 0 || inCodeAtAnyLevel.count(message.text) != 0;
        EXPECT_TRUE(logged) << "no longer in the code: " << Describe(message);
    }
}

} // namespace
