// Shared by the SCSI tests: a ScsiCmd over a faked kernel whose disk node is
// answered by a SimDisk, with the log captured, and the disk's received
// commands named after the fixtures in tests/data/scsi/cdbs.hex.
#ifndef QUELVAR_TESTS_SCSI_SCSITESTKIT_H
#define QUELVAR_TESTS_SCSI_SCSITESTKIT_H

#include <fcntl.h>
#include <linux/hdreg.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "scsi/ScsiCmd.h"
#include "support/FakeKernel.h"
#include "support/HexFixture.h"
#include "support/LogCapture.h"
#include "support/SimDisk.h"

inline const std::map<std::string, Bytes>& ScsiFixture(const std::string& file)
{
    static std::map<std::string, std::map<std::string, Bytes>> loaded;
    auto found = loaded.find(file);
    if (found == loaded.end()) {
        std::string error;
        found = loaded.emplace(file, LoadHexFixture(std::string(QUELVAR_TEST_DATA_DIR) + "/scsi/" + file, &error))
                    .first;
        EXPECT_TRUE(error.empty()) << error;
    }
    return found->second;
}

// The requests the disk received, space-separated: the fixture name of each
// CDB (its bytes in hex when no fixture matches), or "hdio<value>".
inline std::string Received(const SimDisk& disk)
{
    std::string names;
    for (const SimDisk::Exchange& exchange : disk.received) {
        std::string name = exchange.request == HDIO_SET_WCACHE ? "hdio" + std::to_string(exchange.value)
                                                                : ToHex(exchange.cdb);
        for (const auto& entry : ScsiFixture("cdbs.hex")) {
            name = entry.second == exchange.cdb ? entry.first : name;
        }
        names += (names.empty() ? "" : " ") + name;
    }
    return names;
}

class ScsiOnSimDisk : public ::testing::Test {
protected:
    // Puts `disk` behind /dev/sdb and opens it as the write-cache guard does.
    int Attach(SimDisk* disk)
    {
        scsi.devices["/dev/sdb"] = disk;
        return scsi.Open("/dev/sdb", O_RDONLY | O_NONBLOCK, 0600);
    }

    FakeKernel<ScsiCmd> scsi;
    // The commands log their failures; keep them off the host's log.
    LogCapture log;
};

#endif
