// Kernel requests, SCSI operation codes and record layouts the SCSI command
// layer depends on, pinned at compile time so that a header or ABI change
// shows up as a build failure rather than as a garbled command.
#ifndef QUELVAR_SCSI_SCSIDEFS_H
#define QUELVAR_SCSI_SCSIDEFS_H

#include <linux/hdreg.h>
#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>

// The SCSI generic driver's synchronous request on a block device, and the
// block layer's request that switches the volatile write cache (answered only
// by drivers that implement it; others refuse it with ENOTTY or EINVAL).
static_assert(SG_IO == 0x2285, "SG_IO request code");
static_assert(HDIO_SET_WCACHE == 0x32b, "HDIO_SET_WCACHE request code");
static_assert(SG_DXFER_NONE == -1 && SG_DXFER_TO_DEV == -2 && SG_DXFER_FROM_DEV == -3,
              "sg_io_hdr transfer directions");

// The sg_io_hdr fields SendSgIo fills and judges. The layout is the same on
// every LP64 target (AArch64 as well as x86-64); the kernel reads it as is.
static_assert(sizeof(sg_io_hdr::cmd_len) == 1, "cmd_len is one byte");
static_assert(sizeof(sg_io_hdr::mx_sb_len) == 1, "mx_sb_len is one byte");
static_assert(sizeof(sg_io_hdr::masked_status) == 1, "masked_status is one byte");
static_assert(sizeof(sg_io_hdr::host_status) == 2, "host_status is two bytes");
static_assert(sizeof(sg_io_hdr::driver_status) == 2, "driver_status is two bytes");
#if defined(__LP64__)
static_assert(sizeof(sg_io_hdr) == 88, "sg_io_hdr size on LP64");
static_assert(offsetof(sg_io_hdr, interface_id) == 0, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, dxfer_direction) == 4, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, cmd_len) == 8, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, mx_sb_len) == 9, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, dxfer_len) == 12, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, dxferp) == 16, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, cmdp) == 24, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, sbp) == 32, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, timeout) == 40, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, masked_status) == 65, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, host_status) == 68, "sg_io_hdr layout");
static_assert(offsetof(sg_io_hdr, driver_status) == 70, "sg_io_hdr layout");
#endif

// 'S' marks the version 3 interface in interface_id.
constexpr int SG_INTERFACE_ID = 'S';
// The driver code is the low nibble of driver_status; older kernels put
// suggestion bits (retry, abort, ...) above it, so 0x18 is sense plus retry.
constexpr unsigned SG_DRIVER_CODE_MASK = 0x0f;
// The driver has sense data for the command (CHECK CONDITION).
constexpr unsigned DRIVER_SENSE = 0x08;
// Host status of a command the disk did not answer in time: the kernel
// aborted it and gives it back with DID_TIME_OUT (seen on Linux 6.1, where
// SG_IO itself succeeds and only this field tells).
constexpr unsigned short DID_TIME_OUT = 0x03;

// Commands that change the disk's state or flush its cache keep the full
// minute: cut short, the kernel's error handling would abort, and may reset,
// a disk that is only busy writing out its cache.
constexpr uint32_t SCSI_DEFAULT_TIMEOUT_MS = 60000;
// MODE SENSE only reads. It gets what the sd driver gives each of its own
// commands (/sys/block/DISK/device/timeout, 30 s by default): a disk that
// takes longer is one the kernel would already take into error handling for
// its ordinary I/O, so the daemon never provokes that on a disk the kernel
// still deems healthy, and a disk that does not answer holds a pass up for
// half as long.
constexpr uint32_t SCSI_READ_TIMEOUT_MS = 30000;
constexpr int SCSI_SENSE_LENGTH = 64;
constexpr int SCSI_CDB_MAX = 16;
constexpr int SCSI_CDB6_LENGTH = 6;
constexpr int SCSI_CDB10_LENGTH = 10;
constexpr int SCSI_CDB12_LENGTH = 12;
constexpr int SCSI_CDB16_LENGTH = 16;

// Operation codes (SPC-4 for mode pages, SBC-3 for cache, SAT-3 for ATA).
constexpr unsigned char SCSI_OP_MODE_SELECT6 = 0x15;
constexpr unsigned char SCSI_OP_MODE_SENSE6 = 0x1a;
constexpr unsigned char SCSI_OP_SYNCHRONIZE_CACHE10 = 0x35;
constexpr unsigned char SCSI_OP_MODE_SELECT10 = 0x55;
constexpr unsigned char SCSI_OP_MODE_SENSE10 = 0x5a;
constexpr unsigned char SCSI_OP_ATA_PASS_THROUGH16 = 0x85;
constexpr unsigned char SCSI_OP_SYNCHRONIZE_CACHE16 = 0x91;
constexpr unsigned char SCSI_OP_ATA_PASS_THROUGH12 = 0xa1;

// MODE SELECT byte 1: PF (bit 4) says the parameter list is in page format;
// SP (bit 0) stays clear so the device does not save the change.
constexpr unsigned char MODE_SELECT_PF = 0x10;

// ATA PASS-THROUGH byte 1: PROTOCOL in bits 4..1, 3 = non-data.
constexpr unsigned char ATA_PT_PROTOCOL_NON_DATA = 3 << 1;
// ATA PASS-THROUGH byte 2: CK_COND (bit 5) asks for the ATA registers back
// as sense data even when the command succeeds.
constexpr unsigned char ATA_PT_CK_COND = 0x20;
// ATA DEVICE register: bit 6 set as ACS requires for SET FEATURES.
constexpr unsigned char ATA_DEVICE_LBA = 0x40;
constexpr unsigned char ATA_CMD_SET_FEATURES = 0xef;
// SET FEATURES subcommands: enable (0x02) / disable (0x82) volatile write cache.
constexpr unsigned char ATA_SF_DISABLE_WRITE_CACHE = 0x82;

// Descriptor-format sense data (SPC-4 4.5.2): response code 0x72, the first
// descriptor at byte 8. In the ATA Status Return descriptor (code 9, SAT-3
// 12.2.2.7) the STATUS register is the descriptor's byte 13, so byte 21.
constexpr unsigned char SENSE_DESCRIPTOR_FORMAT = 0x72;
constexpr int SENSE_FIRST_DESCRIPTOR = 8;
constexpr unsigned char ATA_STATUS_RETURN_DESCRIPTOR = 0x09;
constexpr int ATA_SENSE_STATUS_BYTE = 21;
// ATA STATUS (ACS-3 6.2): a command completed cleanly leaves DRDY (bit 6)
// set and BSY (bit 7), DF (bit 5), DRQ (bit 3) and ERR (bit 0) clear.
constexpr unsigned char ATA_STATUS_DRDY = 0x40;
constexpr unsigned char ATA_STATUS_FAULT_MASK = 0xa9;
// Sense keys a completed pass-through reports (SAT-3 12.2.2.6): NO SENSE, or
// RECOVERED ERROR with ATA PASS THROUGH INFORMATION AVAILABLE for CK_COND.
constexpr unsigned char SENSE_KEY_NO_SENSE = 0x00;
constexpr unsigned char SENSE_KEY_RECOVERED_ERROR = 0x01;
constexpr unsigned char SENSE_KEY_UNIT_ATTENTION = 0x06;
// UNIT ATTENTION, MODE PARAMETERS CHANGED (SPC-4 5.14, D.2): what a strict
// disk tells the next command after a MODE SELECT.
constexpr unsigned char ASC_PARAMETERS_CHANGED = 0x2a;
constexpr unsigned char ASCQ_MODE_PARAMETERS_CHANGED = 0x01;

// Mode parameter headers (SPC-4 7.5.5): six-byte form 4 bytes, ten-byte 8.
constexpr int MODE_HEADER6_LENGTH = 4;
constexpr int MODE_HEADER10_LENGTH = 8;
// Six-byte header: block descriptor length is byte 3; mode data length counts
// the bytes after byte 0. Ten-byte header: block descriptor length is bytes
// 6-7; mode data length (bytes 0-1) counts the bytes after byte 1.
constexpr int MODE_HEADER6_BD_LENGTH = 3;
constexpr int MODE_HEADER10_BD_LENGTH = 6;
constexpr int MODE_HEADER6_DEVICE_SPECIFIC = 2;
constexpr int MODE_HEADER10_DEVICE_SPECIFIC = 3;
// The two passes of a mode sense are bounded; a device announcing more is
// taken to be broken.
constexpr uint32_t MODE_BUFFER_MAX = 8192;
// MODE SENSE(6) carries its allocation length in one byte.
constexpr uint32_t MODE_SENSE6_ALLOCATION_MAX = 255;
// A single read of the Caching page alone: header, block descriptors of any
// usual size and the page fit, and the length fits either CDB.
constexpr uint32_t MODE_PEEK_LENGTH = 252;

// Caching mode page (SBC-3 6.5.5): page code 8, 20 bytes; WCE is bit 2 of
// byte 2. PS (bit 7 of byte 0) is reserved in MODE SELECT parameter data.
constexpr unsigned char CACHING_PAGE_CODE = 0x08;
constexpr int CACHING_PAGE_LENGTH = 20;
constexpr int CACHING_PAGE_FLAGS = 2;
constexpr unsigned char CACHING_PAGE_WCE = 0x04;
constexpr unsigned char MODE_PAGE_PS = 0x80;
// Byte 0 of every mode page: SPF (bit 6) marks the sub_page format; the page
// code is bits 5-0.
constexpr unsigned char MODE_PAGE_SPF = 0x40;
constexpr unsigned char MODE_PAGE_CODE_MASK = 0x3f;

#endif
