// Reading the OSD data directories, which belong to the unprivileged ceph
// user while the daemon reads them as root: paths are bounded, small text
// files are read defensively, and every handle is closed through the facade.
#ifndef QUELVAR_OSD_OSDFILE_H
#define QUELVAR_OSD_OSDFILE_H

#include <cstddef>
#include <string>

#include "sys/SafeString.h"
#include "sys/SystemApi.h"

// A type name or a 36-character fsid needs a few dozen bytes; anything that
// has no line end within this many is not one of them.
constexpr size_t OSD_LINE_MAX = 4096;

// Writes dir + name + suffix into `path`. 0 done, -1 too long (logged).
[[nodiscard]] int BuildOsdPath(char (&path)[PATH_BUFFER_SIZE], const std::string& dir,
                               const std::string& name, const char* suffix);

// Replaces `line` with the first line of the regular file `path`, without its
// newline, read through the facade's Open, Read and GetLine. 0 done; -1 when
// the path is not a regular file, cannot be opened or read, or has no line
// end within OSD_LINE_MAX bytes (`line` is then unchanged). Never blocks:
// FIFOs, sockets and device nodes are refused before they are opened.
[[nodiscard]] int ReadFirstLine(SystemApi& api, const char* path, std::string& line);

// The first line of the file dir + name + suffix of an OSD directory. 0
// done; -1 otherwise, a missing file included (`line` then unchanged).
[[nodiscard]] int ReadOsdFile(SystemApi& api, const std::string& dir, const std::string& name, const char* suffix,
                              std::string& line);

#endif
