// Kernel requests, NVMe opcodes and the passthrough record the NVMe command
// layer depends on, pinned at compile time so that a header or ABI change
// shows up as a build failure rather than as a garbled command.
#ifndef QUELVAR_NVME_NVMEDEFS_H
#define QUELVAR_NVME_NVMEDEFS_H

#include <linux/ioctl.h>
#include <linux/nvme_ioctl.h>

#include <cstddef>
#include <cstdint>

// The nvme driver's passthrough requests on a namespace's block device: an
// admin command, an I/O command of the namespace, and the namespace's id.
static_assert(NVME_IOCTL_ADMIN_CMD == 0xc0484e41, "NVME_IOCTL_ADMIN_CMD request code");
static_assert(NVME_IOCTL_IO_CMD == 0xc0484e43, "NVME_IOCTL_IO_CMD request code");
static_assert(NVME_IOCTL_ID == 0x4e40, "NVME_IOCTL_ID request code");

// The record is the same on every target (fixed-width fields only); the
// admin request takes the same layout as the I/O request.
static_assert(sizeof(nvme_admin_cmd) == 72, "nvme_admin_cmd size");
static_assert(sizeof(nvme_passthru_cmd) == sizeof(nvme_admin_cmd), "one record for both queues");
static_assert(offsetof(nvme_admin_cmd, opcode) == 0, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, nsid) == 4, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, addr) == 24, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, data_len) == 36, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, cdw10) == 40, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, cdw11) == 44, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, timeout_ms) == 64, "nvme_admin_cmd layout");
static_assert(offsetof(nvme_admin_cmd, result) == 68, "nvme_admin_cmd layout");

// Admin opcodes (NVMe Base 5): Set Features 09h, Get Features 0Ah. NVM
// command set opcode (NVM Command Set 3): Flush 00h.
constexpr unsigned char NVME_ADMIN_SET_FEATURES = 0x09;
constexpr unsigned char NVME_ADMIN_GET_FEATURES = 0x0a;
constexpr unsigned char NVME_IO_FLUSH = 0x00;

// Feature Identifier 06h, Volatile Write Cache: bit 0 of dword 11 (Set) and
// of completion dword 0 (Get) is WCE. Get's SEL (bits 10:8 of dword 10) 0
// asks for the current value; Set's SV (bit 31) stays clear so the change is
// not saved across a power cycle, as a MODE SELECT with SP clear.
constexpr uint32_t NVME_FEATURE_VOLATILE_WRITE_CACHE = 0x06;
constexpr uint32_t NVME_VWC_WCE = 0x01;

// A refused command's status as the driver returns it: the completion's
// Status Field without its Phase Tag, Status Code in bits 7:0 and Status Code
// Type in bits 10:8, then CRD, More and DNR (NVMe Base 4.2.3). Generic
// Command Status 02h is Invalid Field in Command.
constexpr uint32_t NVME_STATUS_CODE_MASK = 0x7ff;
constexpr uint32_t NVME_STATUS_INVALID_FIELD = 0x002;

// Passthrough commands take the driver's default timeout when this is 0.
constexpr uint32_t NVME_DEFAULT_TIMEOUT_MS = 0;

#endif
