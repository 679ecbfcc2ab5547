// Shared by the SCSI tests: a ScsiCmd over a faked kernel whose disk node is
// answered by a SimDisk, with the log captured, and the disk's received commands named after the
// fixtures in tests/data/scsi/cdbs.hex.
#ifndef QUELVAR_TESTS_SCSI_SCSITESTKIT_H
#define QUELVAR_TESTS_SCSI_SCSITESTKIT_H

#include <fcntl.h>
#include <linux/hdreg.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

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

// Each request the disk received: the fixture name of its CDB (its bytes in
// hex when no fixture matches), or "HDIO_SET_WCACHE <value>".
inline std::vector<std::string> Received(const SimDisk& disk)
{
    std::vector<std::string> names;
    for (const SimDisk::Exchange& exchange : disk.received) {
        if (exchange.request == HDIO_SET_WCACHE) {
            names.push_back("HDIO_SET_WCACHE " + std::to_string(exchange.value));
            continue;
        }
        std::string name = ToHex(exchange.cdb);
        for (const auto& entry : ScsiFixture("cdbs.hex")) {
            if (entry.second == exchange.cdb) {
                name = entry.first;
            }
        }
        names.push_back(name);
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
