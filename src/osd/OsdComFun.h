// The probing operations shared by the OSD record and the inventory.
#ifndef QUELVAR_OSD_OSDCOMFUN_H
#define QUELVAR_OSD_OSDCOMFUN_H

#include <string>

#include "sys/SystemApi.h"

class OsdComFun : public SystemApi {
public:
    OsdComFun() = default;
    ~OsdComFun() override = default;

    // 0 when `name` has at least 7 characters and begins with "bcache".
    [[nodiscard]] virtual int IsBcacheName(const std::string& name);
    // 0 when dir + name + "/fsid" exists and its first line is exactly 36
    // characters, that line then being in *fsid; -1 otherwise.
    [[nodiscard]] virtual int ReadFsid(const std::string& dir, const std::string& name, std::string* fsid);
    // True when the "pvs" report lists /dev/<dev>.
    [[nodiscard]] virtual bool IsPhysicalVolume(const std::string& dev);
    // 0 with the bare volume group name of /dev/<dev> in `vg`; -1 otherwise
    // (`vg` unchanged).
    [[nodiscard]] virtual int GetVolumeGroup(const std::string& dev, std::string& vg);

    // The two lookups above, telling a "no" apart from a pvs that could not
    // answer. 0 listed; -1 not listed; LVM_FAILED when pvs did not start or
    // exited with an error before listing the device.
    [[nodiscard]] int FindPhysicalVolume(const std::string& dev);
    // 0 with the name in `vg`; -1 the device is no physical volume (a
    // complete answer); LVM_FAILED when pvs failed, or printed no usable name
    // for a device it lists. `vg` is changed only on 0.
    [[nodiscard]] virtual int LookUpVolumeGroup(const std::string& dev, std::string& vg);
};

// A pvs run that failed: LVM may not be ready yet, so the answer may change.
constexpr int LVM_FAILED = 1;

#endif
