#include "disk/BackingDisk.h"

#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "sys/BlockStack.h"
#include "sys/CheckedFile.h"
#include "sys/DeviceNode.h"
#include "sys/Log.h"
#include "sys/SafeString.h"
#include "sys/ScopedHandles.h"

namespace {

// As checked file access opens an attribute: never created, and a FIFO in
// its place cannot stall the daemon.
constexpr unsigned ATTRIBUTE_OPEN_MODE = 0600;

// An NVMe namespace lives below its controller (.../nvme/nvme0/nvme0n1) or,
// with native multipath, below its subsystem
// (.../nvme-subsystem/nvme-subsys0/nvme0n1); a SCSI or SATA disk below its
// SCSI device (.../target0:0:0/0:0:0:0/block/sdb).
bool IsNvmePath(std::string_view path)
{
    return path.find("/nvme/") != std::string_view::npos || path.find("/nvme-subsystem/") != std::string_view::npos;
}

// A namespace of NVMe over Fabrics lives below its controller in
// /sys/devices/virtual/nvme-fabrics/ctl/: the kernel's name for it
// (nvme<controller>n<namespace>, or nvme<subsystem>c<controller>n<namespace>
// for one path of several) tells it as well.
bool IsNvmeName(const std::string& name)
{
    return name.compare(0, 4, "nvme") == 0 && name.find('n', 4) != std::string::npos &&
           name.find_first_not_of("0123456789cn", 4) == std::string::npos;
}

int TransportOf(const BackingDisk& disk)
{
    return IsNvmePath(disk.dir) || IsNvmeName(disk.name) ? DISK_TRANSPORT_NVME : DISK_TRANSPORT_SCSI;
}

// Opens an attribute below the whole disk's directory. The descriptor, or -1
// (logged as checked file access logs it, unless `quiet`).
//
// The path is neither held to the character rule nor resolved again, as
// checked file access does with a path built from a name. The directory is
// the canonical one realpath gave, so no link in it is left to follow, and it
// lies in sysfs, where only the kernel makes entries (the "device" link
// among them): no user can put a link, a FIFO or a device node there. The
// attribute's name is the daemon's own constant. The rule would refuse the
// directory for its ":" and "." (.../0000:00:1f.2/ata1/...), though every
// character of it is the kernel's.
int OpenAttribute(SystemApi& api, const BackingDisk& disk, const char* attribute, int flags, bool quiet)
{
    const std::string path = disk.dir + "/" + attribute;
    const int fd = api.Open(path.c_str(), flags | O_NONBLOCK, ATTRIBUTE_OPEN_MODE);
    if (fd < 0 && !quiet) {
        WriteLog(LOG_ERROR, "open %s failed\n", path.c_str());
    }
    return fd;
}

} // namespace

int ResolveBackingDevice(SystemApi& api, const char* link, BackingDisk* disk)
{
    char resolved[PATH_BUFFER_SIZE];
    if (memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0 || ResolveExisting(api, link, resolved) != 0) {
        return -1;
    }
    // The device is the name of the directory around the final component.
    const std::string_view text(resolved);
    const size_t last = text.rfind('/');
    if (last == std::string_view::npos || last == 0) {
        return -1;
    }
    const size_t before = text.rfind('/', last - 1);
    if (before == std::string_view::npos) {
        return -1;
    }
    disk->backing.assign(text.substr(before + 1, last - before - 1));
    disk->backingDir.assign(text.substr(0, last));
    return 0;
}

void FindWholeDisk(SystemApi& api, BackingDisk* disk)
{
    // A partition's directory lies inside its disk's: .../block/sdb/sdb1.
    disk->partition = IsPartitionDir(api, disk->backingDir);
    disk->dir = disk->partition ? WholeDiskDir(disk->backingDir) : disk->backingDir;
    disk->name = KernelName(disk->dir);
    if (disk->name.empty()) {
        // Not a place sysfs puts a disk: the backing device stands for itself.
        disk->dir = disk->backingDir;
        disk->name = disk->backing;
        disk->partition = false;
    }
    disk->transport = TransportOf(*disk);
}

int ResolveDiskByName(SystemApi& api, const std::string& name, BackingDisk* disk)
{
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    if (FormatPath(path, "/sys/block/%s", name.c_str()) < 0 ||
        memset_s(resolved, sizeof(resolved), 0, sizeof(resolved)) != 0) {
        return -1;
    }
    if (CheckPathChars(path) != 0) {
        WriteLog(LOG_WARNING, "reject dangerous file path:\"%s\" \n", path);
        return -1;
    }
    if (api.RealPath(path, resolved) == nullptr) {
        WriteLog(LOG_ERROR, "realpath failed\n");
        return -1;
    }
    *disk = BackingDisk{name, DISK_TRANSPORT_SCSI, name, resolved, resolved, false};
    disk->transport = TransportOf(*disk);
    return 0;
}

ssize_t ReadDiskAttribute(SystemApi& api, const BackingDisk& disk, const char* attribute, char* buffer, int size,
                          bool quiet)
{
    ScopedFd fd(api, OpenAttribute(api, disk, attribute, O_RDONLY, quiet));
    const ssize_t done = fd.get() < 0 ? -1 : api.Read(fd.get(), buffer, size);
    if (fd.get() >= 0 && done < 0 && !quiet) {
        WriteLog(LOG_ERROR, "file operation failed %d\n", static_cast<int>(done));
    }
    return done;
}

int WriteDiskAttribute(SystemApi& api, const BackingDisk& disk, const char* attribute, const char* text, int size)
{
    ScopedFd fd(api, OpenAttribute(api, disk, attribute, O_WRONLY, false));
    if (fd.get() < 0) {
        return 1;
    }
    const ssize_t done = api.Write(fd.get(), text, size);
    if (done < 0) {
        WriteLog(LOG_ERROR, "file operation failed %d\n", static_cast<int>(done));
        return 1;
    }
    return 0;
}

bool DiskTakesCommands(SystemApi& api, const BackingDisk& disk, std::string* state)
{
    // The longest state the kernel writes is "transport-offline".
    char text[32];
    const ssize_t length = ReadDiskAttribute(api, disk, "device/state", text, static_cast<int>(sizeof(text)), true);
    if (length <= 0) {
        return true;
    }
    const std::string_view read(text, static_cast<size_t>(length));
    const std::string_view word = read.substr(0, read.find('\n'));
    if (word == "running" || word == "live") {
        return true;
    }
    state->assign(word);
    return false;
}
