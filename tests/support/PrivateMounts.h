// Tests that need the daemon's fixed paths (/var/log/quelvar, /dev, /sys,
// /var/lib/ceph/osd) run in a private mount namespace that the test process
// enters at start-up, with throwaway tmpfs mounts over those paths. Nothing
// is ever mounted in the host's namespace.
#ifndef QUELVAR_TESTS_SUPPORT_PRIVATEMOUNTS_H
#define QUELVAR_TESTS_SUPPORT_PRIVATEMOUNTS_H

#include <string>

// Called once by the test main: enters a private mount namespace when the
// process really runs as root. Returns false (with a reason) otherwise.
bool EnterPrivateMountNamespace(std::string* reason);

// True when the process is in its own mount namespace.
bool HavePrivateMounts();
// Why HavePrivateMounts() is false, for the skip message.
const std::string& PrivateMountsReason();

// Mounts a fresh, empty tmpfs over `path` (which must exist) and unmounts it
// when destroyed. Only valid with HavePrivateMounts().
class ScratchMount {
public:
    explicit ScratchMount(const std::string& path);
    ~ScratchMount();
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    bool ok() const { return mounted; }

private:
    std::string target;
    bool mounted = false;
};

// True when `path` lies in a tree a ScratchMount holds now: a file a test
// made there is its own, never the host's.
bool UnderScratchMount(const std::string& path);

// Skips the current test unless the fixed paths can be replaced.
#define SKIP_WITHOUT_PRIVATE_MOUNTS()                                                      \
    do {                                                                                   \
        if (!HavePrivateMounts()) {                                                        \
            GTEST_SKIP() << "needs a private mount namespace: " << PrivateMountsReason(); \
        }                                                                                  \
    } while (0)

#endif
