// A simulated NVMe namespace as the kernel's nvme driver presents it on its
// block device, modelled on what Linux 6.1 was seen to do with QEMU's NVMe
// controller: admin commands through NVME_IOCTL_ADMIN_CMD, I/O commands of
// the namespace through NVME_IOCTL_IO_CMD, the namespace id through
// NVME_IOCTL_ID; a controller's error comes back as its status (DNR bit
// included) in the ioctl's positive result; SG_IO and HDIO_SET_WCACHE are
// refused with ENOTTY. Only the Volatile Write Cache feature is modelled.
#ifndef QUELVAR_TESTS_SUPPORT_SIMNVME_H
#define QUELVAR_TESTS_SUPPORT_SIMNVME_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/FakeKernel.h"

class SimNvme : public IoctlDevice {
public:
    // --- state ---------------------------------------------------------------
    bool vwc = true;  // Volatile Write Cache Enable, current value
    uint32_t flushes = 0;

    // --- configuration and faults ----------------------------------------------
    uint32_t nsid = 1;
    bool vwcPresent = true;         // the controller has a volatile write cache
    bool ignoreSetFeatures = false; // completes Set Features without applying it
    // The controller does not answer: as Linux 6.1 was seen to do with
    // QEMU's controller, a command waits out its time-out (here at most
    // silentWaitCapMs), the driver resets the controller, which cancels the
    // command, and the ioctl fails with EINTR.
    bool answers = true;
    unsigned silentWaitCapMs = 0;

    // What reached the namespace, one word a request: "get", "set=<value>",
    // "flush", "id", or the refused request's code in hex.
    std::vector<std::string> received;

    int HandleIoctl(unsigned long request, void* argument) override;
    int HandleIoctlValue(unsigned long request, unsigned long value) override;

    // Persistent state as text ("vwc=1 flushes=0") and back; Load returns
    // false on malformed text and leaves the state alone then.
    std::string Save() const;
    bool Load(const std::string& text);
};

#endif
