#include "support/OsdTree.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "osd/BluestoreLabel.h"

namespace fs = std::filesystem;

namespace {

void Check(bool done, const std::string& what)
{
    if (!done) {
        throw std::runtime_error(what + ": " + strerror(errno));
    }
}

} // namespace

OsdTree::OsdTree()
{
    char pattern[] = "/tmp/quelvar-osd.XXXXXX";
    Check(mkdtemp(pattern) != nullptr, "mkdtemp");
    root = std::string(pattern) + "/";
}

OsdTree::~OsdTree()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

std::string OsdTree::Fsid(char c)
{
    std::string fsid(36, c);
    for (size_t dash : {8, 13, 18, 23}) {
        fsid[dash] = '-';
    }
    return fsid;
}

void OsdTree::AddOsd(const std::string& name, const std::string& type, const std::string& fsid)
{
    AddFile(name + "/type", type);
    AddFile(name + "/fsid", fsid);
}

void OsdTree::AddBluestore(const std::string& name, const std::string& fsid, const std::string& block,
                           const std::string& db, const std::string& wal)
{
    AddOsd(name, "bluestore\n", fsid);
    const std::pair<const char*, const std::string&> links[] = {
        {"/block", block}, {"/block.db", db}, {"/block.wal", wal}};
    for (const auto& link : links) {
        if (!link.second.empty()) {
            AddLink(name + link.first, link.second);
        }
    }
}

void OsdTree::AddFile(const std::string& relative, const std::string& content)
{
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << content;
}

void OsdTree::AddLink(const std::string& relative, const std::string& target)
{
    fs::create_directories(fs::path(Path(relative)).parent_path());
    Check(symlink(target.c_str(), Path(relative).c_str()) == 0, "symlink " + relative);
}

void OsdTree::AddFifo(const std::string& relative)
{
    Check(mkfifo(Path(relative).c_str(), 0600) == 0, "mkfifo " + relative);
}

bool OsdTree::AddZeroDevice(const std::string& relative)
{
    return mknod(Path(relative).c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
}

void OsdTree::AddSparseFile(const std::string& relative, off_t size)
{
    int fd = open(Path(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Check(fd >= 0, "open " + relative);
    int sized = ftruncate(fd, size);
    close(fd);
    Check(sized == 0, "ftruncate " + relative);
}

namespace {

std::string Le32(uint32_t value)
{
    std::string bytes;
    for (int at = 0; at < 4; ++at) {
        bytes += static_cast<char>((value >> (8 * at)) & 0xFF);
    }
    return bytes;
}

std::string Text(const std::string& text)
{
    return Le32(static_cast<uint32_t>(text.size())) + text;
}

} // namespace

void OsdTree::AddLabel(const std::string& relative, const std::string& role, const std::string& uuid,
                       const std::string& whoami, const std::string& key)
{
    std::string body;
    for (size_t at = 0; at + 1 < uuid.size(); at += uuid[at] == '-' ? 1 : 2) {
        if (uuid[at] != '-') {
            body += static_cast<char>(std::stoi(uuid.substr(at, 2), nullptr, 16));
        }
    }
    body += std::string(8, '\0') + Le32(1796000000) + Le32(0) + Text(role);
    if (role == "main") {
        body += Le32(3) + Text("osd_key") + Text(key) + Text("ready") + Text("ready") + Text("whoami") + Text(whoami);
    } else {
        body += Le32(0);
    }
    std::string label = "bluestore block device\n" + uuid + "\n" + std::string(1, '\2') + std::string(1, '\1') +
                        Le32(static_cast<uint32_t>(body.size())) + body;
    label += Le32(Crc32c(0xFFFFFFFF, reinterpret_cast<const unsigned char*>(label.data()), label.size()));
    AddFile(relative, label + std::string(BLOCK0_SIZE - label.size(), '\0'));
}

void OsdTree::AddLvmLabel(const std::string& relative)
{
    AddFile(relative, std::string(512, '\0') + "LABELONE" + std::string(16, '\0') + "LVM2 001" +
                          std::string(BLOCK0_SIZE - 512 - 32, '\0'));
}

void OsdTree::Remove(const std::string& relative)
{
    fs::remove_all(Path(relative));
}

int RunWithDeadline(const std::function<int()>& step, unsigned seconds)
{
    pid_t child = fork();
    if (child == 0) {
        _exit(step() & 0xff);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return OSD_DEADLINE_PASSED;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : OSD_DEADLINE_PASSED;
}
