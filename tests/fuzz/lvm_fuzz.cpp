// pvs output through the LVM operations: the report's lines, the runner's
// outcome and the exit status the input chooses, answered in place of the
// runner, read by the report's parser and the lookups built on it.
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "osd/CommandRunner.h"
#include "osd/OsdComFun.h"

namespace {

const int OUTCOMES[] = {0, -1, COMMAND_TIMED_OUT, COMMAND_STOPPED};

struct ScriptedPvs : OsdComFun {
    int outcome = 0;
    int status = 0;
    std::vector<std::string> output;
    int runs = 0;

    int RunPvs(std::vector<std::string>& lines, int* exitStatus) override
    {
        ++runs;
        lines.insert(lines.end(), output.begin(), output.end());
        *exitStatus = status;
        return outcome;
    }
};

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    ScriptedPvs lvm;
    lvm.outcome = OUTCOMES[flags & 3];
    lvm.status = (flags & 4) != 0 ? 5 << 8 : 0;
    const std::string dev = in.Chunk();
    std::istringstream text(in.Rest());
    for (std::string line; std::getline(text, line);) {
        lvm.output.push_back(line);
    }
    const bool answered = lvm.outcome == 0 && lvm.status == 0;

    LvmReport report;
    FUZZ_CHECK(lvm.ReadLvmReport(report) == (answered ? 0 : LVM_FAILED));
    FUZZ_CHECK(answered || report.empty());
    bool listed = false;
    for (const PhysicalVolume& pv : report) {
        FUZZ_CHECK(!pv.dev.empty() && pv.dev.find('\0') == std::string::npos);
        for (char c : pv.dev + pv.vg) {
            FUZZ_CHECK(!Blank(c));
        }
        listed = listed || pv.dev == dev;
    }
    FUZZ_CHECK(lvm.IsPhysicalVolume(dev) == listed);

    std::string vg = "unchanged";
    const int result = lvm.GetVolumeGroup(dev, vg);
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(result != 0 || listed);
    if (result == 0) {
        FUZZ_CHECK(!vg.empty() && vg.find_first_of(" \t\n") == std::string::npos);
    } else {
        FUZZ_CHECK(vg == "unchanged");
    }
    std::string sameVg = "unchanged";
    FUZZ_CHECK((VolumeGroupOf(report, dev, sameVg) == 0) == (result == 0) && sameVg == vg);
    FUZZ_CHECK(lvm.runs <= 3);
    return 0;
}
