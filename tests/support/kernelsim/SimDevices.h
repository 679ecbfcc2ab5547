// The device side of the preloaded kernel simulator: the simulated bcache
// driver and disks, loaded from and saved to the state directory around
// every request.
#ifndef QUELVAR_TESTS_SUPPORT_KERNELSIM_SIMDEVICES_H
#define QUELVAR_TESTS_SUPPORT_KERNELSIM_SIMDEVICES_H

#include <string>

// Answers one ioctl on the simulated device `name`; ENOTTY for requests
// the device does not know, as the kernel answers them.
int SimDeviceIoctl(const std::string& stateDir, const std::string& name, unsigned long request, void* argument);

// The kernel's revalidation after a write to <diskDir>/device/rescan: the
// disk's queue/write_cache attribute shows its current cache setting.
void SimDeviceRescan(const std::string& stateDir, const std::string& diskDir);

#endif
