// The OSD file reader and the directory probe over an OSD directory whose
// files and links the input writes (as the ceph user who owns it could),
// with every read cut into pieces, interrupted or failed as the input says.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "fuzz/FuzzInput.h"
#include "osd/OsdFile.h"
#include "osd/OsdInfoMap.h"

namespace {

constexpr const char* ROOT = "/var/log/osd/";
constexpr const char* OSD_DIR = "/var/log/osd/ceph-0";

// Opens the real files (so that their checks see what is there) and serves
// each read from the file's content, in pieces the input chooses.
class ChoppedReads : public OsdInfoMap {
public:
    explicit ChoppedReads(FuzzInput& input) : OsdInfoMap(ROOT), in(input) {}
    using OsdInfoMap::DirSignature;

    std::map<std::string, std::string> contents;

    int Open(const char* path, int flags, unsigned int mode) override
    {
        int fd = OsdInfoMap::Open(path, flags, mode);
        if (fd >= 0) {
            auto found = contents.find(path);
            open[fd] = Reader{found == contents.end() ? std::string() : found->second, 0};
        }
        return fd;
    }
    int Close(int fd) override
    {
        open.erase(fd);
        return OsdInfoMap::Close(fd);
    }
    ssize_t Read(int fd, void* buffer, int size) override
    {
        FUZZ_CHECK(size > 0 && open.count(fd) == 1);
        uint8_t how = in.Byte();
        if (how == 0xfe) {
            errno = EINTR;
            return -1;
        }
        if (how == 0xff) {
            errno = EIO;
            return -1;
        }
        Reader& reader = open[fd];
        size_t piece = how == 0 ? static_cast<size_t>(size) : how;
        piece = std::min({piece, static_cast<size_t>(size), reader.text.size() - reader.at});
        std::memcpy(buffer, reader.text.data() + reader.at, piece);
        reader.at += piece;
        return static_cast<ssize_t>(piece);
    }

private:
    struct Reader {
        std::string text;
        size_t at;
    };
    FuzzInput& in;
    std::map<int, Reader> open;
};

void Write(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A link with the input's text, when it is one a link can hold.
void Link(const std::string& path, const std::string& target)
{
    (void)unlink(path.c_str());
    if (!target.empty() && target.find('\0') == std::string::npos) {
        (void)symlink(target.c_str(), path.c_str());
    }
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchHost();
    if (mkdir("/var/log/osd", 0755) != 0 || mkdir(OSD_DIR, 0755) != 0) {
        FuzzFail("cannot make the OSD directory");
    }
    // Link targets that exist, for the probe's existence tests.
    Write("/var/log/osd/disk", "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t shape = in.Byte();
    // Short files mostly, and now and then one past the reader's limit.
    std::string type = in.Chunk();
    std::string fsid = in.Chunk();
    if ((shape & 0x80) != 0) {
        fsid = std::string(OSD_LINE_MAX - 8 + (shape & 0x0f), 'f') + fsid;
    }
    const std::string links[] = {in.Chunk(), in.Chunk(), in.Chunk()};
    const std::string dir = OSD_DIR;
    Write(dir + "/type", type);
    Write(dir + "/fsid", fsid);
    const char* names[] = {"/block", "/block.db", "/block.wal"};
    for (int i = 0; i < 3; ++i) {
        // Bit i: the link leads to a file that exists.
        Link(dir + names[i], (shape & (1 << i)) != 0 && !links[i].empty() ? "../disk" : links[i]);
    }

    ChoppedReads map(in);
    map.contents = {{dir + "/type", type}, {dir + "/fsid", fsid}};
    std::string line = "untouched";
    int result = ReadOsdFile(map, ROOT, "ceph-0", "/fsid", line);
    const bool fits = fsid.find('\n') < OSD_LINE_MAX || fsid.size() < OSD_LINE_MAX;
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(result != 0 || (fits && line == FirstLine(fsid)));
    FUZZ_CHECK(result == 0 || line == "untouched");

    OsdInfo info;
    result = map.ProbeOsdDir(ROOT, "ceph-0", &info);
    FUZZ_CHECK(result == 0 || result == -1);
    if (result == 0) {
        FUZZ_CHECK(info.fsid.size() == 36 && info.fsid == FirstLine(fsid));
        FUZZ_CHECK(info.block.empty());
        const std::string kind = FirstLine(type);
        FUZZ_CHECK((kind == "bluestore") == (info.engineType == ENGINE_BLUESTORE));
        FUZZ_CHECK(info.engineType == ENGINE_BLUESTORE || (info.blockLink.empty() && info.dbLink.empty()));
    }
    (void)map.DirSignature(ROOT, "ceph-0");
    return 0;
}
