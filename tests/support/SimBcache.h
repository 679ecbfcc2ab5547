// A simulated bcache driver behind one device node.
//
// It answers BCACHE_IOC_GET_STATUS with a configured status record and keeps
// the last tuning record BCACHE_IOC_SET_TUNING handed to it, as the driver
// copies records to and from the caller; either request can be made to fail
// with a chosen errno. Free of any test framework, so that a simulator in
// another process can use it too, keeping its state as raw bytes.
#ifndef QUELVAR_TESTS_SUPPORT_SIMBCACHE_H
#define QUELVAR_TESTS_SUPPORT_SIMBCACHE_H

#include <cstdint>
#include <string>

#include "bcache/BcacheRecords.h"
#include "support/FakeKernel.h"

// Everything the driver knows, flat, so that it can be saved byte for byte.
struct SimBcacheState {
    BcacheStatus status;      // answered to the status request
    BcacheTuning tuning;      // the last tuning record accepted; zero before
    int32_t statusErrno;      // non-zero: the status request fails with it
    int32_t tuningErrno;      // non-zero: the tuning request fails with it
    uint32_t statusRequests;  // received, failed ones included
    uint32_t tuningRequests;  // received, failed ones included
};

class SimBcache : public IoctlDevice {
public:
    SimBcacheState state{};

    int HandleIoctl(unsigned long request, void* argument) override;

    // The state as raw bytes, and back. Load refuses bytes of another size.
    std::string Save() const;
    bool Load(const std::string& bytes);
};

#endif
