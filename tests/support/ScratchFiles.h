// Small files under the throwaway mounts of a test's private namespace, and
// the scratch log (support/LogCapture.h) most such tests read back.
#ifndef QUELVAR_TESTS_SUPPORT_SCRATCHFILES_H
#define QUELVAR_TESTS_SUPPORT_SCRATCHFILES_H

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/LogCapture.h"

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
