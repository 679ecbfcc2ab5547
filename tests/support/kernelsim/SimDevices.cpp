#include "support/kernelsim/SimDevices.h"

#include <scsi/sg.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/SimBcache.h"
#include "support/SimDisk.h"
#include "support/SimNvme.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// State files stay writable for a daemon that runs with another effective
// user outside its privileged steps.
void Shared(const std::string& path)
{
    (void)chmod(path.c_str(), 0666);
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    Shared(path);
}

// Each device's requests in <name>.trace, and all of them, with the pauses
// between passes, in all.trace.
void Trace(const std::string& stateDir, const std::string& name, const std::string& line)
{
    // The benchmark runs thousands of passes and reads no traces.
    if (getenv("QUELVAR_SIM_BENCH") != nullptr) {
        return;
    }
    std::ofstream(stateDir + "/" + name + ".trace", std::ios::app) << line << "\n";
    std::ofstream(stateDir + "/all.trace", std::ios::app) << name << " " << line << "\n";
    Shared(stateDir + "/" + name + ".trace");
    Shared(stateDir + "/all.trace");
}

std::string Hex(const std::vector<unsigned char>& bytes)
{
    std::string text;
    char byte[4];
    for (unsigned char b : bytes) {
        std::snprintf(byte, sizeof(byte), text.empty() ? "%02x" : " %02x", b);
        text += byte;
    }
    return text;
}

// <name>.config: one setting a line, for the disk's faults and quirks:
//   unsupported 5a 55     operation codes refused as unknown
//   ignore-mode-select    MODE SELECT accepted but not applied
//   accept-hdio           HDIO_SET_WCACHE is taken (legacy IDE)
//   set-features-aborts   the drive aborts SET FEATURES
//   block-descriptors N   bytes of block descriptors in mode data
//   ata-fixed-sense       ATA registers in fixed-format sense
//   unit-attention        MODE SELECT leaves a unit attention pending
//   does-not-answer       every command times out (a disk or a namespace)
unsigned SilenceCapMs()
{
    const char* cap = getenv("QUELVAR_SIM_SILENCE_MS");
    return cap == nullptr ? 200 : static_cast<unsigned>(std::strtoul(cap, nullptr, 10));
}

bool Silent(const std::string& config)
{
    return config.find("does-not-answer") != std::string::npos;
}

void Configure(SimDisk& disk, const std::string& config)
{
    disk.answers = !Silent(config);
    disk.silentWaitCapMs = SilenceCapMs();
    std::istringstream lines(config);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "unsupported") {
            for (unsigned code; words >> std::hex >> code;) {
                disk.unsupportedOpcodes.insert(static_cast<unsigned char>(code));
            }
        } else if (key == "ignore-mode-select") {
            disk.ignoreModeSelect = true;
        } else if (key == "accept-hdio") {
            disk.acceptHdioSetWcache = true;
        } else if (key == "set-features-aborts") {
            disk.setFeaturesAborts = true;
        } else if (key == "block-descriptors") {
            words >> disk.blockDescriptorLength;
        } else if (key == "ata-fixed-sense") {
            disk.ataFixedSense = true;
        } else if (key == "unit-attention") {
            disk.unitAttentionAfterModeSelect = true;
        }
    }
}

// "  refused" after a command the disk answered with ILLEGAL REQUEST (an
// unknown command or field), so that a reader of the trace sees which of
// the daemon's fallbacks took, and "  timed out after N ms", with the
// time-out the command asked for, after one the disk let time out; other
// outcomes show in the disk's state.
std::string Outcome(unsigned long request, int result, const void* argument)
{
    if (request != SG_IO || result != 0) {
        return std::string();
    }
    const auto* header = static_cast<const sg_io_hdr*>(argument);
    if (header->host_status == 0x03) {
        return "  timed out after " + std::to_string(header->timeout) + " ms";
    }
    const auto* sense = static_cast<const unsigned char*>(header->sbp);
    if (header->status == 0 || sense == nullptr || header->sb_len_wr < 3) {
        return std::string();
    }
    // Sense key: byte 1 in descriptor format (0x72/0x73), byte 2 in fixed.
    const unsigned key = ((sense[0] & 0x7f) >= 0x72 ? sense[1] : sense[2]) & 0x0f;
    return key == 0x05 ? "  refused" : "";
}

void ReflectWriteCache(const std::string& name, const SimDisk& disk)
{
    std::ofstream("/sys/devices/virtual/block/" + name + "/queue/write_cache", std::ios::trunc)
        << (disk.wce ? "write back\n" : "write through\n");
}

int DiskIoctl(const std::string& stateDir, const std::string& name, SimDisk::Kind kind, unsigned long request,
              void* argument)
{
    std::string base = stateDir + "/" + name;
    SimDisk disk(kind);
    Configure(disk, ReadFile(base + ".config"));
    std::string saved = ReadFile(base + ".state");
    if (!saved.empty()) {
        (void)disk.Load(saved);
    }
    // HDIO_SET_WCACHE takes its value in place of a pointer.
    int result = request == 0x32b ? disk.HandleIoctlValue(request, reinterpret_cast<unsigned long>(argument))
                                  : disk.HandleIoctl(request, argument);
    int error = errno;
    if (!disk.received.empty()) {
        const SimDisk::Exchange& last = disk.received.back();
        Trace(stateDir, name,
              last.cdb.empty() ? "HDIO_SET_WCACHE " + std::to_string(last.value)
                               : "SG_IO " + Hex(last.cdb) + Outcome(request, result, argument));
    } else {
        Trace(stateDir, name, "ioctl " + std::to_string(request) + " refused");
    }
    if (result != 0) {
        Trace(stateDir, name, "  failed");
    }
    if (kind == SimDisk::Kind::Sata) {
        // libata re-reads the drive's settings after SET FEATURES itself, so
        // the block layer shows the change without a rescan.
        ReflectWriteCache(name, disk);
    }
    WriteFile(base + ".state", disk.Save());
    errno = error;
    return result;
}

// An NVMe namespace: its feature state in <name>.state, its requests in
// the trace as "NVME get", "NVME set=0", "NVME flush", "NVME id" or the
// refused request's code. Its queue/write_cache attribute tells that a
// volatile cache exists and never changes, as the kernel keeps it.
int NvmeIoctl(const std::string& stateDir, const std::string& name, unsigned long request, void* argument)
{
    std::string base = stateDir + "/" + name;
    SimNvme namespace_;
    std::string saved = ReadFile(base + ".state");
    if (!saved.empty()) {
        (void)namespace_.Load(saved);
    }
    const std::string config = ReadFile(base + ".config");
    namespace_.ignoreSetFeatures = config.find("ignore-set-features") != std::string::npos;
    namespace_.answers = !Silent(config);
    namespace_.silentWaitCapMs = SilenceCapMs();
    // NVME_IOCTL_ID and HDIO_SET_WCACHE take no record.
    const bool valueRequest = request == 0x4e40 || request == 0x32b;
    int result = valueRequest ? namespace_.HandleIoctlValue(request, reinterpret_cast<unsigned long>(argument))
                              : namespace_.HandleIoctl(request, argument);
    int error = errno;
    Trace(stateDir, name, "NVME " + namespace_.received.back());
    if (result != 0 && request != 0x4e40) {
        Trace(stateDir, name, "  failed");
    }
    WriteFile(base + ".state", namespace_.Save());
    errno = error;
    return result;
}

int BcacheIoctl(const std::string& stateDir, const std::string& name, unsigned long request, void* argument)
{
    std::string base = stateDir + "/" + name;
    SimBcache driver;
    (void)driver.Load(ReadFile(base + ".state"));
    uint32_t tunings = driver.state.tuningRequests;
    int result = driver.HandleIoctl(request, argument);
    int error = errno;
    if (request == BCACHE_IOC_GET_STATUS) {
        Trace(stateDir, name, result == 0 ? "GET_STATUS" : "GET_STATUS failed");
    } else if (request == BCACHE_IOC_SET_TUNING) {
        Trace(stateDir, name, result == 0 ? "SET_TUNING" : "SET_TUNING failed");
    } else {
        Trace(stateDir, name, "ioctl " + std::to_string(request) + " refused");
    }
    if (driver.state.tuningRequests != tunings && result == 0) {
        WriteFile(base + ".tuning",
                  std::string(reinterpret_cast<const char*>(&driver.state.tuning), sizeof(driver.state.tuning)));
    }
    WriteFile(base + ".state", driver.Save());
    errno = error;
    return result;
}

} // namespace

int SimDeviceIoctl(const std::string& stateDir, const std::string& name, unsigned long request, void* argument)
{
    std::string kind = ReadFile(stateDir + "/" + name + ".kind");
    // The kernel hands a partition's requests to its whole device's driver:
    // bcache answers for bcache0p1 as for bcache0.
    const std::string partitionOf = "partition-of ";
    if (kind.rfind(partitionOf, 0) == 0) {
        const std::string parent = kind.substr(partitionOf.size(), kind.find('\n') - partitionOf.size());
        return SimDeviceIoctl(stateDir, parent, request, argument);
    }
    if (kind.rfind("bcache", 0) == 0) {
        return BcacheIoctl(stateDir, name, request, argument);
    }
    if (kind.rfind("nvme", 0) == 0) {
        return NvmeIoctl(stateDir, name, request, argument);
    }
    if (kind.rfind("sata", 0) == 0 || kind.rfind("scsi", 0) == 0) {
        return DiskIoctl(stateDir, name, kind[1] == 'a' ? SimDisk::Kind::Sata : SimDisk::Kind::Scsi, request,
                         argument);
    }
    errno = ENOTTY;
    return -1;
}

void SimDeviceRescan(const std::string& stateDir, const std::string& diskDir)
{
    std::string name = diskDir.substr(diskDir.rfind('/') + 1);
    std::string kind = ReadFile(stateDir + "/" + name + ".kind");
    SimDisk disk(kind.rfind("sata", 0) == 0 ? SimDisk::Kind::Sata : SimDisk::Kind::Scsi);
    std::string saved = ReadFile(stateDir + "/" + name + ".state");
    if (!saved.empty()) {
        (void)disk.Load(saved);
    }
    Trace(stateDir, name, "RESCAN");
    // The revalidation's own commands take up any pending unit attention.
    disk.unitAttentionPending = false;
    WriteFile(stateDir + "/" + name + ".state", disk.Save());
    WriteFile(diskDir + "/queue/write_cache", disk.wce ? "write back\n" : "write through\n");
}
