#include "status/StatusCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "status/HostReport.h"
#include "status/ReportFormat.h"
#include "sys/Log.h"
#include "sys/Privilege.h"

namespace
{

// The collector runs as its own user and must read the file.
constexpr mode_t REPORT_FILE_MODE = 0644;

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
    }
    return error;
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
    ReadHostReport(report);
    const std::string text = form == ReportForm::Json         ? FormatJson(report)
                             : form == ReportForm::Prometheus ? FormatPrometheus(report)
                                                              : FormatText(report);
    if (file.empty()) {
        (void)fputs(text.c_str(), stdout);
    } else {
        const int error = ReplaceFile(file, text);
        if (error != 0) {
            fprintf(stderr, "quelvar --status: cannot write %s: %s\n", file.c_str(), strerror(error));
            return STATUS_UNKNOWN;
        }
    }
    return ExitStatusOf(report);
}
