#include "support/PvsScript.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

// No /dev/null: the end-to-end test replaces /dev with a scratch mount.
constexpr const char* PVS_SCRIPT = R"(#!/bin/sh
here=${0%/*}
echo "$*" >> "$here/calls"
[ -f "$here/fail" ] && exit 5
[ -f "$here/report" ] && cat "$here/report"
exit 0
)";

} // namespace

PvsScript::PvsScript()
{
    char pattern[] = "/tmp/quelvar-pvs.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp for pvs failed");
    }
    dir = pattern;
    Write("pvs", PVS_SCRIPT);
    chmod((dir + "/pvs").c_str(), 0755);
    const char* path = getenv("PATH");
    savedPath = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (dir + ":" + savedPath).c_str(), 1);
}

PvsScript::~PvsScript()
{
    setenv("PATH", savedPath.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void PvsScript::SetReport(const std::string& output)
{
    Write("report", output);
}

void PvsScript::SetFailing(bool failing)
{
    if (failing) {
        Write("fail", "");
    } else {
        std::remove((dir + "/fail").c_str());
    }
}

std::vector<std::string> PvsScript::Calls() const
{
    std::vector<std::string> calls;
    std::ifstream file(dir + "/calls");
    for (std::string line; std::getline(file, line);) {
        calls.push_back(line);
    }
    return calls;
}

void PvsScript::Write(const std::string& name, const std::string& content) const
{
    std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << content;
}
