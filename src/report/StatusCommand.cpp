#include "report/StatusCommand.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "report/HostReport.h"
#include "report/ReportFormat.h"
#include "sys/Log.h"
#include "sys/Privilege.h"
#include "writecache/PublishedView.h"

namespace
{

// The collector runs as its own user and must read the file.
constexpr mode_t REPORT_FILE_MODE = 0644;
// A temporary file beside the metrics file this old was left by a run that
// was killed halfway; no run takes nearly as long.
constexpr time_t STALE_TEMPORARY_SECONDS = 3600;

int WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

} // namespace

// The process's own output file, not host state: written directly rather
// than through the facade the domain classes use.
int ReplaceFile(const std::string& path, const std::string& text)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    RemoveStaleTemporaries(dir, path.substr(slash + 1));
    // Beside the final name, so the rename stays within one file system; the
    // suffix keeps a collector that reads only "*.prom" away from it.
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        return errno;
    }
    int error = fchmod(fd, REPORT_FILE_MODE) != 0 ? errno : WriteAll(fd, text);
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(name.data(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        (void)unlink(name.data());
        return error;
    }
    // The rename is only on disk once the directory is: a power cut before
    // could bring back the old file, or none.
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        return errno;
    }
    error = fsync(dirFd) != 0 ? errno : 0;
    (void)close(dirFd);
    return error;
}

void RemoveStaleTemporaries(const std::string& dir, const std::string& base)
{
    DIR* list = opendir(dir.c_str());
    if (list == nullptr) {
        return;
    }
    const time_t before = time(nullptr) - STALE_TEMPORARY_SECONDS;
    for (struct dirent* entry = readdir(list); entry != nullptr; entry = readdir(list)) {
        const std::string name = entry->d_name;
        // Exactly what mkstemp makes of base + ".XXXXXX".
        if (name.size() != base.size() + 7 || name.compare(0, base.size() + 1, base + ".") != 0 ||
            !std::all_of(name.end() - 6, name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
            continue;
        }
        struct stat status {};
        if (fstatat(dirfd(list), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
            status.st_mtime < before) {
            (void)unlinkat(dirfd(list), entry->d_name, 0);
        }
    }
    (void)closedir(list);
}

int RunStatus(ReportForm form, const std::string& file)
{
    SilenceLog();
    const int denied = ProbePrivilege();
    if (denied != 0) {
        fprintf(stderr,
                "quelvar --status: needs root to read the OSDs and ask the disks: run it as root (%s)\n",
                strerror(denied));
        return STATUS_UNKNOWN;
    }
    HostReport report;
    ReportSource source;
    ReadReport(VIEW_PATH, report, source);
    const std::string text = form == ReportForm::Json         ? FormatJson(report, source)
                             : form == ReportForm::Prometheus ? FormatPrometheus(report, source)
                                                              : FormatText(report, source);
    if (file.empty()) {
        (void)fputs(text.c_str(), stdout);
    } else {
        const int error = ReplaceFile(file, text);
        if (error != 0) {
            fprintf(stderr, "quelvar --status: cannot write %s: %s\n", file.c_str(), strerror(error));
            // The file is unknown, the disks are not: an UNPROTECTED disk
            // still says so.
            return ExitStatusOf(report) == STATUS_UNPROTECTED ? STATUS_UNPROTECTED : STATUS_UNKNOWN;
        }
    }
    return ExitStatusOf(report);
}
