// The backing disk over a faked kernel: sysfs links as Linux 6.1 lays them
// out, a simulated SCSI disk and a simulated NVMe namespace.
#include "disk/BackingDisk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "support/FakeKernel.h"
#include "support/LogCapture.h"
#include "support/SimDisk.h"
#include "support/SimNvme.h"

using testing::ElementsAreArray;

namespace {

TEST(FindBackingDisk, NamesTheWholeDiskAndItsTransportFromSysfs)
{
    const char* scsi = "../../devices/pci0000:00/0000:00:04.0/virtio1/host0/target0:0:0/0:0:0:0/block/sda";
    const char* nvme = "../../devices/pci0000:00/0000:00:05.0/nvme/nvme0/nvme0n1";
    const struct {
        const char* device;
        const char* link;  // nullptr: none
        bool partition;
        const char* disk;
        int transport;
    } rows[] = {
        {"sda", scsi, false, "sda", DISK_TRANSPORT_SCSI},
        {"sda1", "../../devices/pci0000:00/0000:00:04.0/virtio1/host0/target0:0:0/0:0:0:0/block/sda/sda1", true,
         "sda", DISK_TRANSPORT_SCSI},
        {"nvme0n1", nvme, false, "nvme0n1", DISK_TRANSPORT_NVME},
        {"nvme0n1p2", "../../devices/pci0000:00/0000:00:05.0/nvme/nvme0/nvme0n1/nvme0n1p2", true, "nvme0n1",
         DISK_TRANSPORT_NVME},
        {"nvme0n1", "../../devices/virtual/nvme-subsystem/nvme-subsys0/nvme0n1", false, "nvme0n1",
         DISK_TRANSPORT_NVME},
        // A disk whose name merely starts like one is told by its place.
        {"nvme_like", scsi, false, "nvme_like", DISK_TRANSPORT_SCSI},
        {"sdz", nullptr, false, "sdz", DISK_TRANSPORT_SCSI},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.device);
        FakeKernel<ScsiCmd> kernel;
        const std::string node = std::string("/sys/class/block/") + row.device;
        if (row.link != nullptr) {
            kernel.links[node] = row.link;
        }
        if (row.partition) {
            kernel.existing[node + "/partition"] = true;
        }
        BackingDisk disk;
        FindBackingDisk(kernel, row.device, &disk);
        EXPECT_EQ(disk.name, row.disk);
        EXPECT_EQ(disk.transport, row.transport);
    }
}

class DiskOnSim : public testing::Test {
protected:
    void Attach(const std::string& name, IoctlDevice* device)
    {
        kernel.realPaths["/dev/" + name] = "/dev/" + name;
        kernel.devices["/dev/" + name] = device;
    }

    FakeKernel<ScsiCmd> kernel;
    LogCapture log;
};

// The read-only look: one command that changes nothing, and silence even
// when the disk cannot tell.
TEST_F(DiskOnSim, ReadDiskWriteCacheAsksTheDiskOnceAndChangesNothing)
{
    const struct {
        const char* name;
        int transport;
        std::function<void(SimDisk&, SimNvme&)> setup;
        int state;
        size_t commands;
    } rows[] = {
        {"SCSI on", DISK_TRANSPORT_SCSI, [](SimDisk&, SimNvme&) {}, DISK_CACHE_ON, 1},
        {"SCSI off", DISK_TRANSPORT_SCSI, [](SimDisk& d, SimNvme&) { d.wce = false; }, DISK_CACHE_OFF, 1},
        {"SCSI with six-byte commands only", DISK_TRANSPORT_SCSI,
         [](SimDisk& d, SimNvme&) { d.unsupportedOpcodes = {0x5a}; }, DISK_CACHE_ON, 2},
        {"SCSI without a Caching page", DISK_TRANSPORT_SCSI, [](SimDisk& d, SimNvme&) { d.cachingPageLength = 0; },
         DISK_CACHE_UNKNOWN, 2},
        {"SCSI short transfer", DISK_TRANSPORT_SCSI, [](SimDisk& d, SimNvme&) { d.withheldBytes = 16; },
         DISK_CACHE_UNKNOWN, 2},
        {"NVMe on", DISK_TRANSPORT_NVME, [](SimDisk&, SimNvme&) {}, DISK_CACHE_ON, 1},
        {"NVMe off", DISK_TRANSPORT_NVME, [](SimDisk&, SimNvme& n) { n.vwc = false; }, DISK_CACHE_OFF, 1},
        // Nothing volatile to be on: the controller refuses the feature.
        {"NVMe without a volatile cache", DISK_TRANSPORT_NVME, [](SimDisk&, SimNvme& n) { n.vwcPresent = false; },
         DISK_CACHE_OFF, 1},
        // One command, not the six-byte one after it; the step reports it.
        {"SCSI silent", DISK_TRANSPORT_SCSI, [](SimDisk& d, SimNvme&) { d.answers = false; }, DISK_CACHE_UNKNOWN, 1},
        {"NVMe silent", DISK_TRANSPORT_NVME, [](SimDisk&, SimNvme& n) { n.answers = false; }, DISK_CACHE_UNKNOWN, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        kernel.Gate() = CommandGate{};
        SimDisk scsi(SimDisk::Kind::Scsi);
        SimNvme nvme;
        row.setup(scsi, nvme);
        const bool isNvme = row.transport == DISK_TRANSPORT_NVME;
        Attach("sdb", isNvme ? static_cast<IoctlDevice*>(&nvme) : &scsi);
        const bool wce = scsi.wce;
        const bool vwc = nvme.vwc;

        EXPECT_EQ(ReadDiskWriteCache(kernel, BackingDisk{"sdb", row.transport}), row.state);
        EXPECT_EQ(isNvme ? nvme.received.size() : scsi.received.size(), row.commands);
        EXPECT_EQ(std::make_pair(scsi.wce, nvme.vwc), std::make_pair(wce, vwc));
        EXPECT_EQ(kernel.openDescriptors, 0);
        if (log.ok()) {
            EXPECT_EQ(log.Text(), "");
        }
    }
}

// An NVMe namespace is switched with Set Features, confirmed with Get
// Features and flushed with the namespace's own id; it never sees a SCSI
// command, and its attribute is never rescanned.
TEST_F(DiskOnSim, SwitchesAnNvmeNamespaceWithFeaturesAndFlushesIt)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const struct {
        const char* name;
        std::function<void(SimNvme&)> setup;
        int result;
        std::vector<std::string> received;
        std::vector<std::string> messages;
    } rows[] = {
        {"on", [](SimNvme&) {}, 0, {"get", "set=0", "get", "id", "flush"},
         {"[INFO][change config of nvme0n1 succeed]", "[INFO][sync device nvme0n1 return 0]"}},
        {"already off", [](SimNvme& n) { n.vwc = false; }, 0, {"get"}, {}},
        {"Set Features ignored", [](SimNvme& n) { n.ignoreSetFeatures = true; }, 1, {"get", "set=0", "get"},
         {"[ERROR][change config of nvme0n1 failed]"}},
        {"no volatile cache", [](SimNvme& n) { n.vwcPresent = n.vwc = false; }, 0, {"get"}, {}},
        // The cancelled command (EINTR) is the last: the step reports it.
        {"does not answer", [](SimNvme& n) { n.answers = false; }, 1, {"timed out"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        kernel.Gate() = CommandGate{};
        SimNvme nvme;
        row.setup(nvme);
        Attach("nvme0n1", &nvme);

        EXPECT_EQ(SwitchDiskWriteCacheOff(kernel, BackingDisk{"nvme0n1", DISK_TRANSPORT_NVME}), row.result);
        EXPECT_THAT(nvme.received, ElementsAreArray(row.received));
        EXPECT_EQ(nvme.vwc, row.result != 0) << "off unless the switch failed";
        EXPECT_THAT(log.Messages(), ElementsAreArray(row.messages));
        EXPECT_EQ(kernel.openDescriptors, 0);
        EXPECT_EQ(kernel.Gate().timedOut, !nvme.answers);
    }
}

} // namespace
