// Both steps of a device in their order, with their privileged windows.
#include "daemon/DeviceSteps.h"

#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "support/SimBcache.h"
#include "support/TestBcacheDev.h"
#include "sys/Status.h"

namespace {

// An unprivileged daemon (effective user 1000) is root for the flush and for
// opening the driver's node, nothing more, and stops when it cannot drop back.
TEST(DeviceSteps, RaisePrivilegeForTheFlushAndTheOpenAlone)
{
    SKIP_WITHOUT_PRIVATE_MOUNTS();
    const char* window = "setuid(0) seteuid(1000) ";
    const struct {
        const char* name;
        bool records, setuidFails, seteuidFails;
        int result;
        size_t flushes;
        std::string calls;
        const char* requestUsers;  // effective user at each driver request
        const char* lastMessage;
    } rows[] = {
        {"flushed and tuned", true, false, false, 0, 1, std::string(window) + window, "{ 1000, 1000 }",
         "[INFO][sync device sdb return 0]"},
        {"raise fails", true, true, false, -1, 0, "setuid(0) setuid(0) ", "{}",
         "[ERROR][setuid(0) failed: Operation not permitted ]"},
        {"drop after the flush fails", true, false, true, ERR_PRIVILEGE, 1, window, "{}",
         "[ERROR][seteuid(1000) failed: Operation not permitted ]"},
        {"drop after the open fails", false, false, true, ERR_PRIVILEGE, 0, window, "{}", "[ERROR][seteuid failed]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchMount sys("/sys");
        LogCapture log;
        ASSERT_TRUE(sys.ok() && log.ok());
        SimBcache driver;
        SilentDisk backingDisk;
        TestBcacheDev device("bcache0");
        BcacheOver(device, &driver, &backingDisk, "write back\n");
        g_privilege = {1000, row.setuidFails, row.seteuidFails, false, {}};

        DiskWatch watch;
        EXPECT_EQ(RunDeviceSteps(device, row.records ? std::vector<OsdInfo>{SEPARATE_DB} : std::vector<OsdInfo>{}, watch),
                  row.result);
        EXPECT_EQ(device.scsiSteps.empty() ? 0u : 1u, row.flushes);
        EXPECT_EQ(PrivilegeCalls(), row.calls);
        EXPECT_EQ(testing::PrintToString(device.requestUsers), row.requestUsers);
        EXPECT_EQ(device.openDescriptors, 0);
        EXPECT_EQ(log.Messages().back(), row.lastMessage);
    }
}

} // namespace
