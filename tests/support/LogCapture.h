// Captures what the daemon writes to its log file: mounts a scratch tmpfs
// over /var/log (in the test's private mount namespace) and creates the log
// directory, so WriteLog lands in a file the test reads and then throws away.
#ifndef QUELVAR_TESTS_SUPPORT_LOGCAPTURE_H
#define QUELVAR_TESTS_SUPPORT_LOGCAPTURE_H

#include <string>
#include <vector>

#include "support/PrivateMounts.h"

class LogCapture {
public:
    LogCapture();
    // False without private mounts or when the directory could not be made.
    bool ok() const { return ready; }
    // The whole lines of the log, in order, without their line ends.
    std::vector<std::string> Lines() const;
    // Each line from its level tag on: "[WARNING][SG IO excute failed 1 0 8.]".
    std::vector<std::string> Messages() const;
    // The whole file as written.
    std::string Text() const;
    // How many messages hold `text`.
    size_t Count(const std::string& text) const;
    // Forgets what was written so far.
    void Clear() const;

private:
    ScratchMount mount;
    bool ready = false;
};

#endif
