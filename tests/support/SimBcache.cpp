#include "support/SimBcache.h"

#include <cerrno>
#include <cstring>

int SimBcache::HandleIoctl(unsigned long request, void* argument)
{
    switch (request) {
    case BCACHE_IOC_GET_STATUS:
        ++state.statusRequests;
        if (state.statusErrno != 0) {
            errno = state.statusErrno;
            return -1;
        }
        if (argument == nullptr) {  // copy_to_user into nothing
            errno = EFAULT;
            return -1;
        }
        std::memcpy(argument, &state.status, sizeof(state.status));
        return 0;
    case BCACHE_IOC_SET_TUNING:
        ++state.tuningRequests;
        if (state.tuningErrno != 0) {
            errno = state.tuningErrno;
            return -1;
        }
        if (argument == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::memcpy(&state.tuning, argument, sizeof(state.tuning));
        return 0;
    default:
        // What a block driver answers to a request it does not know.
        errno = ENOTTY;
        return -1;
    }
}

std::string SimBcache::Save() const
{
    return std::string(reinterpret_cast<const char*>(&state), sizeof(state));
}

bool SimBcache::Load(const std::string& bytes)
{
    if (bytes.size() != sizeof(state)) {
        return false;
    }
    std::memcpy(&state, bytes.data(), sizeof(state));
    return true;
}
