// The disk's own cache over a faked kernel: a simulated SCSI disk and a
// simulated NVMe namespace.
#include "disk/DiskCache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "support/FakeKernel.h"
#include "support/LogCapture.h"
#include "support/ScratchFiles.h"
#include "support/SimDisk.h"
#include "support/SimNvme.h"

using testing::ElementsAreArray;

namespace {

BackingDisk Disk(const char* name, int transport)
{
    BackingDisk disk;
    disk.name = name;
    disk.dir = std::string("/sys/block/") + name;
    disk.transport = transport;
    return disk;
}

class DiskOnSim : public testing::Test {
protected:
    void Attach(const std::string& name, IoctlDevice* device)
    {
        kernel.realPaths["/dev/" + name] = "/dev/" + name;
        kernel.devices["/dev/" + name] = device;
    }

    // The kernel's view of an NVMe namespace: "write through" when its
    // controller reports no volatile cache.
    void KernelSays(const std::string& name, const char* mode)
    {
        MakeFile("/sys/block/" + name + "/queue/write_cache", std::string(mode) + "\n");
    }

    FakeKernel<ScsiCmd> kernel;
    LogCapture log;
};

// The read-only look: one command that changes nothing, and silence even
// when the disk cannot tell.
TEST_F(DiskOnSim, ReadDiskWriteCacheAsksTheDiskOnceAndChangesNothing)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    ScratchMount sys("/sys");
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
        // Nothing volatile to be on: the controller refuses the feature, and
        // the kernel agrees; when it does not, the disk did not tell.
        {"NVMe without a volatile cache", DISK_TRANSPORT_NVME, [](SimDisk&, SimNvme& n) { n.vwcPresent = false; },
         DISK_CACHE_OFF, 1},
        {"NVMe refusing the feature of its cache", DISK_TRANSPORT_NVME,
         [](SimDisk&, SimNvme& n) { n.vwcPresent = false; }, DISK_CACHE_UNKNOWN, 1},
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
        KernelSays("sdb", row.state == DISK_CACHE_OFF ? "write through" : "write back");
        const bool isNvme = row.transport == DISK_TRANSPORT_NVME;
        Attach("sdb", isNvme ? static_cast<IoctlDevice*>(&nvme) : &scsi);
        const bool wce = scsi.wce;
        const bool vwc = nvme.vwc;

        EXPECT_EQ(ReadDiskWriteCache(kernel, Disk("sdb", row.transport)), row.state);
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
    ScratchMount sys("/sys");
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
        {"refusing the feature of its cache", [](SimNvme& n) { n.vwcPresent = false; }, 1, {"get"},
         {"[ERROR][change config of nvme0n1 failed]"}},
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
        KernelSays("nvme0n1", nvme.vwcPresent || nvme.vwc ? "write back" : "write through");

        EXPECT_EQ(SwitchDiskWriteCacheOff(kernel, Disk("nvme0n1", DISK_TRANSPORT_NVME)), row.result);
        EXPECT_THAT(nvme.received, ElementsAreArray(row.received));
        EXPECT_EQ(nvme.vwc, row.result != 0) << "off unless the switch failed";
        EXPECT_THAT(log.Messages(), ElementsAreArray(row.messages));
        EXPECT_EQ(kernel.openDescriptors, 0);
        EXPECT_EQ(kernel.Gate().timedOut, !nvme.answers);
    }
}

} // namespace
