// What the status report reads of a backing disk beyond the write-cache
// step's facts: how the disk is attached, and what the disk itself answers
// about its volatile write cache. Each is one function, so that a fuller
// reader (partitions, NVMe) can take its place without touching the report.
#ifndef QUELVAR_STATUS_DISKSTATE_H
#define QUELVAR_STATUS_DISKSTATE_H

#include <string>

#include "scsi/ScsiCmd.h"
#include "sys/SystemApi.h"

constexpr const char* TRANSPORT_SATA = "SATA";
constexpr const char* TRANSPORT_SCSI = "SCSI/SAS";
constexpr const char* TRANSPORT_NVME = "NVMe";
constexpr const char* TRANSPORT_PARTITION = "partition";
constexpr const char* TRANSPORT_UNKNOWN = "unknown";

// How the disk is attached, as sysfs shows it: TRANSPORT_PARTITION when the
// name is a partition's, TRANSPORT_NVME for a namespace of an NVMe
// controller, TRANSPORT_SATA when the SCSI layer names the vendor "ATA"
// (a SCSI/ATA translation does, SAT-3 10.4.2), TRANSPORT_SCSI for any other
// SCSI device, TRANSPORT_UNKNOWN otherwise.
[[nodiscard]] std::string ReadTransport(SystemApi& api, const std::string& disk);

// The disk's own answer.
constexpr int DISK_CACHE_OFF = 0;
constexpr int DISK_CACHE_ON = 1;
constexpr int DISK_CACHE_NOT_ASKED = -1; // not asked (NVMe, partition) or no answer

// Asks the disk for its volatile write cache with MODE SENSE of the Caching
// page's current values, which only reads, raising privilege for the open.
// DISK_CACHE_OFF or DISK_CACHE_ON; DISK_CACHE_NOT_ASKED when the disk is not
// reachable that way or did not answer; ERR_PRIVILEGE when the return to
// the saved user failed.
[[nodiscard]] int ReadDiskWriteCache(ScsiCmd& scsi, const std::string& disk, const std::string& transport);

#endif
