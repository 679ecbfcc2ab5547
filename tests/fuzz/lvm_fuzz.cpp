// pvs output through the LVM operations: the default report through the
// facade's pipe, the volume group query through the command runner (whose
// popen and pclose this harness replaces at link time), each with the exit
// status and output the input chooses.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "osd/CommandRunner.h"
#include "osd/OsdComFun.h"

namespace {

struct Script {
    bool reportStarts = true;
    std::string report;
    int reportStatus = 0;
    bool queryStarts = true;
    std::string query;
    int queryStatus = 0;
    std::string expectedCommand;
    int queries = 0;
} g_script;

// A stream that reads `text`; an empty text reads as end of file at once.
FILE* Reading(std::string& text)
{
    return text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
}

class ScriptedPvs : public OsdComFun {
public:
    FILE* OpenPipe(const char* command, const char* mode) override
    {
        FUZZ_CHECK(std::strcmp(command, "pvs") == 0 && std::strcmp(mode, "r") == 0);
        if (!g_script.reportStarts) {
            errno = EAGAIN;
            return nullptr;
        }
        return Reading(g_script.report);
    }
    int ClosePipe(FILE* stream) override
    {
        (void)std::fclose(stream);
        return g_script.reportStatus;
    }
};

// Only what the report says in pieces of 255 bytes, as the reader sees it.
bool ReportLists(const std::string& report, const std::string& pattern)
{
    FILE* stream = fmemopen(const_cast<char*>(report.data()), report.size(), "r");
    char piece[256];
    bool found = false;
    while (!found && stream != nullptr && std::fgets(piece, sizeof(piece), stream) != nullptr) {
        found = std::strstr(piece, pattern.c_str()) != nullptr;
    }
    if (stream != nullptr) {
        (void)std::fclose(stream);
    }
    return found;
}

} // namespace

extern "C" FILE* __wrap_popen(const char* command, const char* mode)
{
    FUZZ_CHECK(g_script.expectedCommand == command && std::strcmp(mode, "r") == 0);
    ++g_script.queries;
    if (!g_script.queryStarts) {
        errno = EAGAIN;
        return nullptr;
    }
    return Reading(g_script.query);
}

extern "C" int __wrap_pclose(FILE* stream)
{
    (void)std::fclose(stream);
    return g_script.queryStatus;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    g_script = Script{};
    g_script.reportStarts = (flags & 1) == 0;
    g_script.reportStatus = (flags & 2) != 0 ? 5 << 8 : 0;
    g_script.queryStarts = (flags & 4) == 0;
    g_script.queryStatus = (flags & 8) != 0 ? 5 << 8 : 0;
    const std::string dev = in.Chunk().c_str();
    g_script.report = in.Bytes(in.Word() % 2048);
    g_script.query = in.Rest();
    g_script.expectedCommand = "pvs --noheadings -o vg_name /dev/" + dev;

    ScriptedPvs lvm;
    const bool listed = g_script.reportStarts && ReportLists(g_script.report, "/dev/" + dev + " ");
    int found = lvm.FindPhysicalVolume(dev);
    FUZZ_CHECK(found == (listed ? 0 : g_script.reportStarts && g_script.reportStatus == 0 ? -1 : LVM_FAILED));
    FUZZ_CHECK(lvm.IsPhysicalVolume(dev) == listed);

    std::string vg = "unchanged";
    int result = lvm.LookUpVolumeGroup(dev, vg);
    FUZZ_CHECK(result == 0 || result == -1 || result == LVM_FAILED);
    FUZZ_CHECK((result == -1) == (found == -1) && (found != LVM_FAILED || result == LVM_FAILED));
    if (result == 0) {
        FUZZ_CHECK(!vg.empty() && vg[0] != ' ' && vg.find('\n') == std::string::npos);
        FUZZ_CHECK(g_script.query.find(vg) != std::string::npos && g_script.queryStatus == 0);
    } else {
        FUZZ_CHECK(vg == "unchanged");
    }
    std::string sameVg = "unchanged";
    FUZZ_CHECK((lvm.GetVolumeGroup(dev, sameVg) == 0) == (result == 0) && sameVg == vg);

    // Straight through the runner: never more lines than it keeps.
    std::vector<std::string> lines;
    if (RunCommand(g_script.expectedCommand, lines) == 0) {
        FUZZ_CHECK(lines.size() <= COMMAND_MAX_LINES);
    }
    return 0;
}
