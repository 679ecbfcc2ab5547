// The NVMe command layer: one passthrough transport and the commands that
// read, switch and flush a namespace's volatile write cache.
#ifndef QUELVAR_NVME_NVMECMD_H
#define QUELVAR_NVME_NVMECMD_H

#include <cstdint>

#include "nvme/NvmeDefs.h"
#include "sys/CommandGate.h"
#include "sys/SystemApi.h"

// One NVMe command without data, as its builder describes it to
// SendNvmeCommand.
struct NvmeRequest {
    unsigned char opcode;
    uint32_t nsid;
    uint32_t cdw10;
    uint32_t cdw11;
    bool quiet = false;   // a refusal is an answer the caller expects: not logged
    uint32_t result = 0;  // completion dword 0, set on success
    // A refusal with this status (NVME_STATUS_CODE_MASK bits) is an answer
    // the caller expects: not logged.
    uint32_t expectedStatus = 0;
    uint32_t status = 0;  // the status a refused command completed with, as the driver gives it
    uint32_t timeoutMs = NVME_DEFAULT_TIMEOUT_MS;
};

// Queues of SendNvmeCommand.
constexpr int NVME_QUEUE_ADMIN = 0;
constexpr int NVME_QUEUE_IO = 1;

// Hands one command to the kernel on an open namespace descriptor, with
// the driver's own time-out (admin_timeout, 60 s; io_timeout, 30 s): the
// driver answers a time-out with a reset of the whole controller, so a
// shorter one would only reset a busy controller sooner.
// 0 completed, 1 failed (logged unless quiet). A command that times out
// closes the gate, unlogged; through a closed gate nothing is sent.
[[nodiscard]] int SendNvmeCommand(SystemApi& api, CommandGate& gate, int fd, int queue, NvmeRequest* request);

// NvmeGetWriteCache's and NvmeSetWriteCache's answer when the controller
// refused Get Features with Invalid Field in Command.
constexpr int NVME_NO_CACHE_FEATURE = 2;

// Get Features, Volatile Write Cache, current value (NVMe Base 5.27.1.4),
// waiting the gate's read time-out when it has one. 0 with *enabled set to
// 0 or 1; 1 failed; NVME_NO_CACHE_FEATURE when the controller says it has
// no such feature, which a controller without a volatile write cache says,
// but which only the kernel's view of the namespace can confirm.
[[nodiscard]] int NvmeGetWriteCache(SystemApi& api, CommandGate& gate, int fd, int* enabled, bool quiet);

// Switches the volatile write cache to `wanted` with Set Features and reads
// it back with Get Features. 0 changed, -1 already as wanted, 1 failed,
// NVME_NO_CACHE_FEATURE from the first Get Features (nothing sent).
[[nodiscard]] int NvmeSetWriteCache(SystemApi& api, CommandGate& gate, int fd, int wanted);

// Flush of the descriptor's namespace (NVM Command Set 3.2.1). 0 done,
// 1 failed.
[[nodiscard]] int NvmeFlush(SystemApi& api, CommandGate& gate, int fd);

#endif
