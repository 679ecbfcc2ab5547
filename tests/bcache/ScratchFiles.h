// Throwaway stand-ins for the daemon's fixed paths, for tests that run in
// the private mount namespace: a scratch /var/log whose log lines can be
// read back, and small files under a scratch /sys.
#ifndef QUELVAR_TESTS_BCACHE_SCRATCHFILES_H
#define QUELVAR_TESTS_BCACHE_SCRATCHFILES_H

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/PrivateMounts.h"
#include "sys/Log.h"

// An empty /var/log holding only the log directory.
class ScratchLog {
public:
    ScratchLog() : mount("/var/log")
    {
        if (mount.ok()) {
            (void)mkdir(LOG_DIR, LOG_DIR_MODE);
        }
    }
    bool ok() const { return mount.ok(); }

    // The lines written so far, each without its time and thread prefix:
    // "[ERROR][realpath failed]".
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> messages;
        std::ifstream file(LOG_FILE);
        for (std::string line; std::getline(file, line);) {
            size_t tag = line.find(")][");
            messages.push_back(tag == std::string::npos ? line : line.substr(tag + 2));
        }
        return messages;
    }

private:
    ScratchMount mount;
};

// Creates `path` with `text`, making its parent directories.
inline void MakeFile(const std::string& path, const std::string& text)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
    }
    std::ofstream(path) << text;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

#endif
