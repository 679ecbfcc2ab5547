#include "support/SimNvme.h"

#include <linux/ioctl.h>
#include <linux/nvme_ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr unsigned char ADMIN_SET_FEATURES = 0x09;
constexpr unsigned char ADMIN_GET_FEATURES = 0x0a;
constexpr unsigned char IO_FLUSH = 0x00;
constexpr uint32_t FEATURE_VWC = 0x06;
// Status field of the completion as the driver returns it: DNR (bit 14),
// then the status code type and code (NVMe Base 4.6.1).
constexpr int STATUS_INVALID_OPCODE = 0x4001;
constexpr int STATUS_INVALID_FIELD = 0x4002;
constexpr int STATUS_FEATURE_NOT_SAVEABLE = 0x410d;

std::string Hex(unsigned long value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "%lx", value);
    return text;
}

} // namespace

int SimNvme::HandleIoctl(unsigned long request, void* argument)
{
    if (request != NVME_IOCTL_ADMIN_CMD && request != NVME_IOCTL_IO_CMD) {
        received.push_back(Hex(request));
        errno = ENOTTY;
        return -1;
    }
    auto* command = static_cast<nvme_passthru_cmd*>(argument);
    command->result = 0;
    if (!answers) {
        // 0 asks for the driver's own: admin_timeout 60 s, io_timeout 30 s.
        const unsigned timeout =
            command->timeout_ms != 0 ? command->timeout_ms : request == NVME_IOCTL_ADMIN_CMD ? 60000 : 30000;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout, silentWaitCapMs)));
        received.push_back("timed out");
        errno = EINTR;
        return -1;
    }
    if (request == NVME_IOCTL_IO_CMD) {
        received.push_back("flush");
        // The driver refuses an I/O command for another namespace.
        if (command->nsid != nsid) {
            errno = EINVAL;
            return -1;
        }
        if (command->opcode != IO_FLUSH) {
            return STATUS_INVALID_OPCODE;
        }
        ++flushes;
        return 0;
    }
    const uint32_t feature = command->cdw10 & 0xff;
    if (command->opcode == ADMIN_GET_FEATURES) {
        received.push_back("get");
        const uint32_t select = (command->cdw10 >> 8) & 0x7;
        if (feature != FEATURE_VWC || !vwcPresent || (select != 0 && select != 3)) {
            return STATUS_INVALID_FIELD;
        }
        // SEL 3 asks what the feature supports: changeable, not saveable.
        command->result = select == 3 ? 0x4 : (vwc ? 1 : 0);
        return 0;
    }
    if (command->opcode == ADMIN_SET_FEATURES) {
        received.push_back("set=" + std::to_string(command->cdw11));
        if (feature != FEATURE_VWC || !vwcPresent) {
            return STATUS_INVALID_FIELD;
        }
        if ((command->cdw10 & 0x80000000u) != 0) {
            return STATUS_FEATURE_NOT_SAVEABLE;
        }
        if (!ignoreSetFeatures) {
            vwc = (command->cdw11 & 1) != 0;
        }
        return 0;
    }
    received.push_back("admin " + Hex(command->opcode));
    return STATUS_INVALID_OPCODE;
}

int SimNvme::HandleIoctlValue(unsigned long request, unsigned long /*value*/)
{
    if (request == NVME_IOCTL_ID) {
        received.push_back("id");
        return static_cast<int>(nsid);
    }
    received.push_back(Hex(request));
    errno = ENOTTY;
    return -1;
}

std::string SimNvme::Save() const
{
    return std::string("vwc=") + (vwc ? "1" : "0") + " flushes=" + std::to_string(flushes);
}

bool SimNvme::Load(const std::string& text)
{
    int enabled = 0;
    unsigned count = 0;
    if (std::sscanf(text.c_str(), "vwc=%d flushes=%u", &enabled, &count) != 2 || enabled < 0 || enabled > 1) {
        return false;
    }
    vwc = enabled == 1;
    flushes = count;
    return true;
}
