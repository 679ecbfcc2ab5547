// The daemon's log file inside a test's private mount namespace: a scratch
// tmpfs over /var/log with an empty /var/log/quelvar, and its lines.
#ifndef QUELVAR_TESTS_SUPPORT_LOGFILE_H
#define QUELVAR_TESTS_SUPPORT_LOGFILE_H

#include <memory>
#include <string>
#include <vector>

#include "support/PrivateMounts.h"

class ScratchLog {
public:
    ScratchLog();
    bool ok() const { return mount && mount->ok() && created; }
    // The log's lines without their newline.
    std::vector<std::string> Lines() const;
    // Every line without its time and thread prefix: "[ERROR][realpath failed]".
    std::vector<std::string> Messages() const;

private:
    std::unique_ptr<ScratchMount> mount;
    bool created = false;
};

#endif
