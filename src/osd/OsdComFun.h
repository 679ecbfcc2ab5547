// The probing operations shared by the OSD record and the inventory.
#ifndef QUELVAR_OSD_OSDCOMFUN_H
#define QUELVAR_OSD_OSDCOMFUN_H

#include <string>
#include <vector>

#include "sys/SystemApi.h"

// One row of LVM's report: a physical volume as LVM names it, less "/dev/"
// (bcache0, mapper/crypt-1), its volume group (empty when none) and, for
// each logical volume with extents on it, one row with that volume's uuid
// and tags (both empty on a volume's free space or a volume in no group).
struct PhysicalVolume {
    std::string dev;
    std::string vg;
    std::string lvUuid;
    std::string lvTags;  // comma-separated, as LVM reports them
};
using LvmReport = std::vector<PhysicalVolume>;

// The command of the report: every physical volume with its volume group
// and the volumes on it, with their tags, in one run. --readonly reads the
// metadata without taking LVM's locks, so another LVM command that holds
// them does not hold the report.
extern const std::vector<std::string> PVS_REPORT_COMMAND;

// Takes the rows out of the report's lines: four fields separated by ";",
// the first a path under "/dev/". Any other line (a warning LVM put on its
// standard output, a line the runner may have cut) is left out.
void ParseLvmReport(const std::vector<std::string>& lines, LvmReport& report);

// The volume group of /dev/<dev> in `report`. 0 with the name in `vg`; -1
// when the report does not list the device with a group, or the name breaks
// the character rule on device names (`vg` unchanged).
[[nodiscard]] int VolumeGroupOf(const LvmReport& report, const std::string& dev, std::string& vg);

class OsdComFun : public SystemApi {
public:
    OsdComFun() = default;
    ~OsdComFun() override = default;

    // 0 when `name` has at least 7 characters and begins with "bcache".
    [[nodiscard]] virtual int IsBcacheName(const std::string& name);
    // 0 when dir + name + "/fsid" exists and its first line is exactly 36
    // characters, that line then being in *fsid; -1 otherwise.
    [[nodiscard]] virtual int ReadFsid(const std::string& dir, const std::string& name, std::string* fsid);
    // True when the LVM report lists /dev/<dev>. One report each call.
    [[nodiscard]] virtual bool IsPhysicalVolume(const std::string& dev);
    // 0 with the bare volume group name of /dev/<dev> in `vg`; -1 otherwise
    // (`vg` unchanged). One report each call.
    [[nodiscard]] virtual int GetVolumeGroup(const std::string& dev, std::string& vg);

    // Runs PVS_REPORT_COMMAND: RunProgram's result, the output in `lines`,
    // the exit status in `status`.
    [[nodiscard]] virtual int RunPvs(std::vector<std::string>& lines, int* status);

    // The report of every physical volume, read once. 0 read; LVM_FAILED
    // when pvs did not answer: it could not start, exited with an error,
    // ran past its deadline or was stopped with the daemon.
    [[nodiscard]] int ReadLvmReport(LvmReport& report);
};

// A pvs run that failed: LVM may not be ready yet, so the answer may change.
constexpr int LVM_FAILED = 1;

#endif
