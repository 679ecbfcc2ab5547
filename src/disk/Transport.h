// How a backing disk is attached, as the status report shows it beside the
// disk's cache state: read once by the daemon for each disk it guards, or
// by the report when it reads the host itself.
#ifndef QUELVAR_DISK_TRANSPORT_H
#define QUELVAR_DISK_TRANSPORT_H

#include <string>

#include "disk/BackingDisk.h"

constexpr const char* TRANSPORT_SATA = "SATA";
constexpr const char* TRANSPORT_SCSI = "SCSI/SAS";
constexpr const char* TRANSPORT_NVME = "NVMe";
constexpr const char* TRANSPORT_UNKNOWN = "unknown";

// TRANSPORT_NVME for a namespace of an NVMe controller, TRANSPORT_SATA when
// the SCSI layer names the whole disk's vendor "ATA" (a SCSI/ATA
// translation does, SAT-3 10.4.2), TRANSPORT_SCSI for any other vendor,
// TRANSPORT_UNKNOWN when sysfs names none. When the backing device is a
// partition of the disk: "partition of DISK, " and the disk's transport.
[[nodiscard]] std::string ReadTransport(SystemApi& api, const BackingDisk& disk);

#endif
