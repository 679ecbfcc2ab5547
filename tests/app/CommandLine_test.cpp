#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

TEST(ParseCommandLine, UnderstandsTheOptionsAndRefusesAnythingElse)
{
    const struct {
        std::vector<const char*> arguments;
        int result;
        RunMode mode;
        ReportForm form;
        const char* file;
    } rows[] = {
        {{}, 0, RunMode::Daemon, ReportForm::Text, ""},
        {{"--status"}, 0, RunMode::Status, ReportForm::Text, ""},
        {{"--status", "--json"}, 0, RunMode::Status, ReportForm::Json, ""},
        {{"--prometheus", "--status"}, 0, RunMode::Status, ReportForm::Prometheus, ""},
        {{"--status", "--prometheus=/var/lib/x.prom"},
         0,
         RunMode::Status,
         ReportForm::Prometheus,
         "/var/lib/x.prom"},
        {{"--stat"},
         0,
         RunMode::Status,
         ReportForm::Text,
         ""}, // an unambiguous prefix, as getopt_long allows
        {{"--version"}, 0, RunMode::Version, ReportForm::Text, ""},
        {{"--version", "--help"}, 0, RunMode::Help, ReportForm::Text, ""},
        {{"--bogus"}, EXIT_USAGE, RunMode::Daemon, ReportForm::Text, ""},
        {{"-h"}, EXIT_USAGE, RunMode::Daemon, ReportForm::Text, ""},
        {{"start"}, EXIT_USAGE, RunMode::Daemon, ReportForm::Text, ""},
        {{"--status", "extra"}, EXIT_USAGE, RunMode::Status, ReportForm::Text, ""},
        {{"--json"}, EXIT_USAGE, RunMode::Daemon, ReportForm::Json, ""},
        {{"--status", "--json", "--prometheus"}, EXIT_USAGE, RunMode::Status, ReportForm::Json, ""},
        {{"--status", "--prometheus="}, EXIT_USAGE, RunMode::Status, ReportForm::Text, ""},
        {{"--help=1"}, EXIT_USAGE, RunMode::Daemon, ReportForm::Text, ""},
    };
    for (const auto& row : rows) {
        std::vector<char*> argv = {const_cast<char*>("quelvar")};
        std::string shown;
        for (const char* argument : row.arguments) {
            argv.push_back(const_cast<char*>(argument));
            shown += std::string(argument) + " ";
        }
        argv.push_back(nullptr);
        CommandLine line;
        EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), line), row.result)
            << shown;
        if (row.result == 0) {
            EXPECT_EQ(line.mode, row.mode) << shown;
            EXPECT_EQ(line.form, row.form) << shown;
            EXPECT_EQ(line.file, row.file) << shown;
        }
    }
}

} // namespace
