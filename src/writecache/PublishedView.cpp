#include "writecache/PublishedView.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <sstream>
#include <vector>

namespace {

constexpr const char* VIEW_MAGIC = "quelvar-view";
constexpr const char* VIEW_VERSION = "1";
// A view of a thousand devices is well under this.
constexpr size_t VIEW_MAX_BYTES = 4 << 20;

std::string Escape(const std::string& text)
{
    if (text.empty()) {
        return "-";
    }
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\' || (c == '-' && text.size() == 1)) {
            char hex[5];
            (void)std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Unescape(const std::string& field)
{
    if (field == "-") {
        return std::string();
    }
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(field.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string Seconds(double seconds)
{
    char text[32];
    (void)std::snprintf(text, sizeof(text), "%.3f", seconds);
    return text;
}

int CodeOf(const std::string& name, int first, int last, const char* (*nameOf)(int), int otherwise)
{
    for (int code = first; code <= last; ++code) {
        const char* known = nameOf(code);
        if (known != nullptr && name == known) {
            return code;
        }
    }
    return otherwise;
}

const char* VerdictOfCode(int code)
{
    return VerdictName(static_cast<Verdict>(code));
}

const char* EngineOfCode(int code)
{
    return EngineName(code);
}

std::string Line(std::initializer_list<std::string> fields)
{
    std::string line;
    for (const std::string& field : fields) {
        line += (line.empty() ? "" : "\t") + field;
    }
    return line + "\n";
}

} // namespace

double BootSeconds()
{
    struct timespec now {};
    (void)clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool DaemonRuns(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

const char* KernelModeName(int mode)
{
    switch (mode) {
    case WRITE_CACHE_BACK:
        return "write back";
    case WRITE_CACHE_THROUGH:
        return "write through";
    case WRITE_CACHE_UNKNOWN:
        return "unreadable";
    default:
        return nullptr;
    }
}

const char* DiskCacheName(int cache)
{
    return cache == DISK_CACHE_ON ? "on" : cache == DISK_CACHE_OFF ? "off" : nullptr;
}

std::string FormatView(const ViewHeader& header, const HostReport& report)
{
    std::string text = Line({VIEW_MAGIC, VIEW_VERSION}) + Line({"pid", std::to_string(header.pid)}) +
                       Line({"pass", std::to_string(header.pass), Seconds(header.began), Seconds(header.written)});
    if (!report.problem.empty()) {
        text += Line({"problem", Escape(report.problem)});
    }
    for (const DeviceRow& row : report.rows) {
        const char* kernel = KernelModeName(row.kernelMode);
        const char* said = DiskCacheName(row.diskCache);
        text += Line({"device", Escape(row.device), Escape(row.disk), Escape(row.transport),
                      Escape(kernel != nullptr ? kernel : ""), Escape(said != nullptr ? said : ""),
                      row.answeredAt < 0 ? "-" : Seconds(row.answeredAt), Escape(row.silence),
                      row.guarded ? "1" : "0", VerdictName(row.verdict), Escape(row.reason)});
        for (const OsdInfo& osd : row.osds) {
            text += Line({"osd", Escape(row.device), Escape(OsdId(osd)), VerdictName(row.verdict),
                          Escape(osd.dirName), Escape(osd.fsid), EngineName(osd.engineType),
                          Escape(osd.blockLink), Escape(osd.dbLink), Escape(OsdSourceNames(osd.sources))});
        }
    }
    return text;
}

int ParseView(const std::string& text, ViewHeader& header, HostReport& report)
{
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != std::string(VIEW_MAGIC) + "\t" + VIEW_VERSION) {
        return -1;
    }
    HostReport parsed;
    ViewHeader head;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) {
            f.push_back(Unescape(field));
        }
        if (f.size() >= 2 && f[0] == "pid") {
            head.pid = std::atol(f[1].c_str());
        } else if (f.size() >= 4 && f[0] == "pass") {
            head.pass = std::strtoull(f[1].c_str(), nullptr, 10);
            head.began = std::atof(f[2].c_str());
            head.written = std::atof(f[3].c_str());
        } else if (f.size() >= 2 && f[0] == "problem") {
            parsed.problem = f[1];
        } else if (f.size() >= 11 && f[0] == "device") {
            DeviceRow row;
            row.device = f[1];
            row.disk = f[2];
            row.transport = f[3];
            row.kernelMode = CodeOf(f[4], WRITE_CACHE_BACK, WRITE_CACHE_UNKNOWN, KernelModeName, WRITE_CACHE_NOT_READ);
            row.diskCache = CodeOf(f[5], DISK_CACHE_OFF, DISK_CACHE_ON, DiskCacheName, DISK_CACHE_UNKNOWN);
            row.answeredAt = f[6].empty() ? -1 : std::atof(f[6].c_str());
            row.silence = f[7];
            row.guarded = f[8] == "1";
            row.verdict = static_cast<Verdict>(CodeOf(f[9], 0, 3, VerdictOfCode, 3));
            row.reason = f[10];
            parsed.rows.push_back(row);
        } else if (f.size() >= 9 && f[0] == "osd" && !parsed.rows.empty() && parsed.rows.back().device == f[1]) {
            OsdInfo osd;
            osd.dirName = f[4];
            osd.fsid = f[5];
            osd.engineType = CodeOf(f[6], ENGINE_MEMSTORE, ENGINE_BLUESTORE, EngineOfCode, ENGINE_UNKNOWN);
            osd.blockLink = f[7];
            osd.dbLink = f[8];
            // A tagged or labelled OSD's id is no directory's name.
            osd.osdId = f[2];
            osd.sources = f.size() >= 10 ? OsdSourceBits(f[9]) : 0;
            parsed.rows.back().osds.push_back(osd);
        }
    }
    header = head;
    report = parsed;
    return 0;
}

// The daemon's own output file, not host state: written directly rather
// than through the facade the domain classes use. /run is memory: there is
// nothing to sync, and a view lost with the power is not wanted back.
int WriteView(const std::string& path, const std::string& text)
{
    const std::string next = path + ".new";
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(next.c_str(), flags, 0600);
    // Its unit makes the directory; a daemon started by hand makes it once.
    if (fd < 0 && errno == ENOENT && mkdir(path.substr(0, path.rfind('/')).c_str(), 0700) == 0) {
        fd = open(next.c_str(), flags, 0600);
    }
    if (fd < 0) {
        return errno;
    }
    const ssize_t written = write(fd, text.data(), text.size());
    int error = written < 0 ? errno : static_cast<size_t>(written) != text.size() ? ENOSPC : 0;
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(next.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        (void)unlink(next.c_str());
    }
    return error;
}

int ReadView(const std::string& path, ViewHeader& header, HostReport& report)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    std::string text;
    char buffer[65536];
    ssize_t got = 0;
    while (text.size() < VIEW_MAX_BYTES && (got = read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    (void)close(fd);
    return got < 0 ? -1 : ParseView(text, header, report);
}
