#include "nvme/NvmeCmd.h"

#include <cerrno>
#include <cstring>

#include "nvme/NvmeDefs.h"
#include "sys/Log.h"
#include "sys/SafeString.h"

// The one place where an NVMe command meets the kernel. The driver answers
// -1 with errno when the command never reached the controller, and the
// controller's status (with its DNR and More bits) as a positive result
// when it completed with an error. A command the controller left unanswered
// is cancelled when the driver resets the controller after the time-out,
// and comes back as -1 with EINTR (seen on Linux 6.1: "I/O .. QID 0
// timeout, reset controller"); a signal cannot cause it, since the driver
// waits for the command uninterruptibly.
int SendNvmeCommand(SystemApi& api, CommandGate& gate, int fd, int queue, NvmeRequest* request)
{
    if (gate.timedOut) {
        return 1;
    }
    nvme_admin_cmd command;
    (void)memset_s(&command, sizeof(command), 0, sizeof(command));
    command.opcode = request->opcode;
    command.nsid = request->nsid;
    command.cdw10 = request->cdw10;
    command.cdw11 = request->cdw11;
    command.timeout_ms = request->timeoutMs;
    const unsigned long code = queue == NVME_QUEUE_IO ? NVME_IOCTL_IO_CMD : NVME_IOCTL_ADMIN_CMD;
    const int result = api.IoctlData(fd, code, &command);
    if (result < 0) {
        const int error = errno;
        gate.timedOut = error == EINTR || error == ETIMEDOUT;
        if (!request->quiet && !gate.timedOut) {
            WriteLog(LOG_ERROR, "nvme command %d failed:%d %s\n", request->opcode, error, strerror(error));
        }
        return 1;
    }
    gate.answered = true;
    if (result > 0) {
        request->status = static_cast<uint32_t>(result);
        const bool expected = request->expectedStatus != 0 &&
                              (request->status & NVME_STATUS_CODE_MASK) == request->expectedStatus;
        if (!request->quiet && !expected) {
            WriteLog(LOG_WARNING, "nvme command %d status %d\n", request->opcode, result);
        }
        return 1;
    }
    request->result = command.result;
    return 0;
}

int NvmeGetWriteCache(SystemApi& api, CommandGate& gate, int fd, int* enabled, bool quiet)
{
    NvmeRequest request{NVME_ADMIN_GET_FEATURES, 0, NVME_FEATURE_VOLATILE_WRITE_CACHE, 0};
    request.quiet = quiet;
    request.timeoutMs = gate.readTimeoutMs;
    // A controller without a volatile write cache has no such feature to
    // get and aborts the command with Invalid Field in Command. (Its
    // namespaces' queue/write_cache reads "write through"; with a cache,
    // "write back", on or off.)
    request.expectedStatus = NVME_STATUS_INVALID_FIELD;
    if (SendNvmeCommand(api, gate, fd, NVME_QUEUE_ADMIN, &request) != 0) {
        return (request.status & NVME_STATUS_CODE_MASK) == NVME_STATUS_INVALID_FIELD ? NVME_NO_CACHE_FEATURE : 1;
    }
    *enabled = (request.result & NVME_VWC_WCE) != 0 ? 1 : 0;
    return 0;
}

// Whatever Set Features answered, only the value read back decides.
int NvmeSetWriteCache(SystemApi& api, CommandGate& gate, int fd, int wanted)
{
    int current = 0;
    const int read = NvmeGetWriteCache(api, gate, fd, &current, false);
    if (read != 0) {
        return read;
    }
    if (current == wanted) {
        return -1;
    }
    NvmeRequest request{NVME_ADMIN_SET_FEATURES, 0, NVME_FEATURE_VOLATILE_WRITE_CACHE,
                        wanted != 0 ? NVME_VWC_WCE : 0};
    if (SendNvmeCommand(api, gate, fd, NVME_QUEUE_ADMIN, &request) != 0) {
        return 1;
    }
    if (NvmeGetWriteCache(api, gate, fd, &current, false) != 0 || current != wanted) {
        return 1;
    }
    return 0;
}

// The namespace id comes from the driver: a Flush must name the namespace
// whose cache it commits.
int NvmeFlush(SystemApi& api, CommandGate& gate, int fd)
{
    const int nsid = api.Ioctl(fd, NVME_IOCTL_ID, 0);
    if (nsid <= 0) {
        const int error = errno;
        WriteLog(LOG_ERROR, "nvme namespace id error:%d %s\n", error, strerror(error));
        return 1;
    }
    NvmeRequest request{NVME_IO_FLUSH, static_cast<uint32_t>(nsid), 0, 0};
    return SendNvmeCommand(api, gate, fd, NVME_QUEUE_IO, &request);
}
